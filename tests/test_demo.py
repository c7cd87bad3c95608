"""`python -m hdf5_kel demo`: a live writer followed to its end, or stopped cleanly."""

import os
import re
import signal
import subprocess
import sys

import pytest
from conftest import child_env, wait_for_line

from hdf5_kel.cli import main


def start_demo(cwd, *args):
    return subprocess.Popen(
        [sys.executable, "-m", "hdf5_kel", "demo", *args],
        cwd=str(cwd),
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def demo_file_and_writer(header):
    match = re.match(r"writer process (\d+) appends .* to (\S+):/entry/data,", header)
    assert match, header
    return int(match[1]), match[2]


def writer_is_gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


@pytest.mark.parametrize(
    "frames, block, ranges, writer_lines",
    [
        (25, 10, [(0, 9, 10), (10, 19, 10), (20, 24, 5)], [0, 10]),
        (3, 10, [(0, 2, 3)], []),
    ],
    ids=["blocks-and-remainder", "fewer-frames-than-a-block"],
)
def test_demo_follows_every_frame_and_cleans_up(tmp_path, frames, block, ranges, writer_lines):
    demo = start_demo(tmp_path, "--frames", str(frames), "--block", str(block))
    out, err = demo.communicate(timeout=120)
    assert demo.returncode == 0, out + err
    lines = out.splitlines()
    pid, path = demo_file_and_writer(lines[0])
    got = [
        tuple(map(int, m.groups()))
        for m in re.finditer(
            r"reader \| frames +(\d+) to +(\d+), shape \((\d+), 16, 16\), "
            r"file flushed \d+ ms before",
            out,
        )
    ]
    assert got == ranges
    assert [line for line in lines if line.startswith("  writer |")] == [
        f"  writer | flush finished kel {i}" for i in writer_lines
    ]
    assert lines[-1] == (
        f"done: {frames} frames in {len(ranges)} blocks, every frame once and in order,"
        " equal to the finished file"
    )
    assert not os.path.exists(os.path.dirname(path))
    assert writer_is_gone(pid)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("signum, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_interrupted_demo_stops_its_writer_and_removes_the_file(tmp_path, signum, code):
    demo = start_demo(tmp_path, "--frames", "600")
    pid, path = demo_file_and_writer(demo.stdout.readline())
    wait_for_line(demo, "reader | frames")
    demo.send_signal(signum)
    out, err = demo.communicate(timeout=60)
    assert demo.returncode == code, out + err
    assert "Traceback" not in err
    if signum == signal.SIGINT:
        assert out.splitlines()[-1] == f"stopped: writer process {pid} is stopped too"
    assert writer_is_gone(pid)
    assert not os.path.exists(os.path.dirname(path))


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["tail"], "invalid choice: 'tail'"),
        (["demo", "--frames", "0"], "--frames: must be at least 1, got 0"),
        (["demo", "--block", "-2"], "--block: must be at least 1, got -2"),
        (["demo", "--frames", "ten"], "--frames: not a whole number: 'ten'"),
        (["demo", "extra"], "unrecognized arguments: extra"),
    ],
)
def test_bad_command_lines_are_refused_with_usage(capsys, argv, message):
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: python -m hdf5_kel") and message in err
