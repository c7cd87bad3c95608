"""The type stubs: shipped beside the modules and true to them."""

import importlib
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import child_env

import hdf5_kel

MODULES = [
    "hdf5_kel.filekit",
    "hdf5_kel.swmr.library.framepool",
    "hdf5_kel.swmr.library.tailread",
    "hdf5_kel.swmr.library.feedgen",
    "hdf5_kel.cluster",
    "hdf5_kel.follow",
]

# h5py and multipledispatch ship no type information; the stubs name their
# types all the same, for the reader.
MYPY_CONFIG = """\
[mypy]
[mypy-h5py.*]
ignore_missing_imports = True
[mypy-multipledispatch.*]
ignore_missing_imports = True
"""

ALLOWLIST = """\
# doctest's test registry, set on every module; no part of the interface.
.*\\.__test__
"""


@pytest.mark.parametrize("name", MODULES)
def test_every_module_has_its_stub_beside_it(name):
    module = importlib.import_module(name)
    short_name = name.rpartition(".")[2]
    assert (Path(module.__file__).parent / f"{short_name}.pyi").is_file()


def test_the_package_is_marked_as_typed():
    assert (Path(hdf5_kel.__file__).parent / "py.typed").is_file()


def test_stubs_match_the_running_modules(tmp_path):
    """mypy's stubtest: every name, parameter, default and kind (method, class
    method, class) in the stubs against the modules as built."""
    pytest.importorskip("mypy.stubtest")
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(ALLOWLIST)
    # Run from an empty directory, so that nothing but the package under test
    # (the one child_env puts first on the path) can be found.
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "--mypy-config-file",
            str(config),
            "--allowlist",
            str(allowlist),
            *MODULES,
        ],
        cwd=tmp_path,
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
