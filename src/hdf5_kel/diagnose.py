"""Explanations for HDF5 read failures whose own text does not name the cause.

The readers of tailread and filekit, and the command line, attach these as a
note to h5py's exception, which keeps its type and message.
"""

import h5py

# What installs the filter plugins: hdf5plugin from PyPI, or the package's
# own extra, which only a clone of its sources can offer.
INSTALL_HDF5PLUGIN = 'pip install hdf5plugin, or pip install ".[plugins]" in a clone of hdf5_kel'
INSTALL_PLUGINS = (
    f"install hdf5plugin ({INSTALL_HDF5PLUGIN})"
    " and import hdf5plugin in the reading process before the file is read;"
    " hdf5-kel imports it itself once it is installed"
)


def missing_filters(dset):
    """The filters of the dataset's pipeline that this process cannot load: (id, name) pairs."""
    plist = dset.id.get_create_plist()
    missing = []
    for position in range(plist.get_nfilters()):
        code, _flags, _values, name = plist.get_filter(position)
        if not h5py.h5z.filter_avail(code):
            # Registered filters carry "name; see URL" in the file.
            missing.append((code, name.decode(errors="replace").split(";")[0].strip()))
    return missing


def missing_filter_note(dset):
    """Why a read of the dataset fails for want of a filter plugin, or None."""
    try:
        missing = missing_filters(dset)
        name = dset.name
    except Exception:  # noqa: BLE001 - a closed or foreign dataset has nothing to explain
        return None
    if not missing:
        return None
    filters = ", ".join(f"'{filter_name}' (id {code})" for code, filter_name in missing)
    noun = "filter" if len(missing) == 1 else "filters"
    return f"{name} is compressed with the HDF5 {noun} {filters}, not loaded in this process: {INSTALL_PLUGINS}"


def held_twice_text(dset, consequence):
    """The dataset held twice in this process, `consequence`, and what to do."""
    return (
        f"{dset.file.filename}: {dset.name} is held by two dataset objects in this process"
        f" (two followers, or a follower and another h5py handle of it). {consequence}"
        " Follow each dataset with one reader or counter per process and hand its blocks to"
        " other threads (a queue), or close one follower before the next opens the dataset."
    )


def held_twice_note(dset):
    """Why reads of a growing dataset failed once this process held it twice."""
    return held_twice_text(
        dset,
        "Once both refresh it, HDF5 fails every read of the growing dataset, for both, with"
        ' "can\'t insert duplicate key".',
    )


def held_twice_warning(dset):
    """What a follower says when the dataset it opens is already held in this process."""
    return held_twice_text(
        dset,
        "If both are refreshed (two followers, or a follower and an h5py reader of the growing"
        ' dataset), reads of it may fail, for both, with "can\'t insert duplicate key".',
    )


def duplicate_key_note(error, dset):
    """held_twice_note(dset) for a read that failed with HDF5's duplicate-key error, else None."""
    if "duplicate key" not in str(error):
        return None
    try:
        return held_twice_note(dset)
    except Exception:  # noqa: BLE001 - a closed or foreign dataset has nothing to explain
        return None


def add_note(error, note):
    """`error.add_note(note)`, also where Python (3.10) has no add_note."""
    if hasattr(error, "add_note"):
        error.add_note(note)
    else:
        notes = getattr(error, "__notes__", None)
        error.__notes__ = [*notes, note] if isinstance(notes, list) else [note]


def explain_read_error(error, dset):
    """Add to `error` the note that says why reading `dset` failed, where one is known."""
    for note in (missing_filter_note(dset), duplicate_key_note(error, dset)):
        if note is not None:
            add_note(error, note)
    return error
