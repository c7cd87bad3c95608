"""What the library's readers and its callers tell about a followed file
without HDF5: whether the writer still holds it open."""

import os

# An HDF5 file starts with this signature, at offset 0 or, behind a user
# block, at 512, 1024, 2048 and so on.
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
# Bits of the file consistency flags of a version 2 or 3 superblock (the byte
# after the signature, the version and the two size bytes) that a writer sets
# while it holds the file open: open for writing, open for SWMR writing.
# Closing the file clears them; a writer that was killed leaves them set.
WRITER_OPEN_FLAGS = 0x01 | 0x04


def superblock_head(file):
    """The first 12 bytes of the superblock of an open binary file, from its
    signature on; None where the file has no HDF5 signature."""
    size = os.fstat(file.fileno()).st_size
    offset = 0
    while offset + len(HDF5_SIGNATURE) <= size:
        file.seek(offset)
        head = file.read(12)
        if head[: len(HDF5_SIGNATURE)] == HDF5_SIGNATURE:
            return head
        offset = 512 if offset == 0 else offset * 2
    return None


def writer_has_file_open(path):
    """True while a writer holds the HDF5 file at `path` open, False once it
    has closed it; None where the file does not say (a superblock older than
    version 2, not an HDF5 file, unreadable).

    A plain read of the file's first bytes: HDF5 shares one open file among
    the handles of a process, and its view of the superblock is its own."""
    try:
        with open(path, "rb") as file:
            head = superblock_head(file)
    except OSError:
        return None
    if head is None or len(head) < 12 or head[8] < 2:
        return None
    return bool(head[11] & WRITER_OPEN_FLAGS)
