"""The module frame: initialisation, function objects, binding, classes, tracebacks."""

import builtins
import importlib
import inspect
import pickle
import sys
import traceback
import types

import numpy as np
import pytest
from conftest import finish, start_python

from hdf5_kel.swmr.library import framepool, tailread
from hdf5_kel.swmr.library.framepool import Buffers, NumpyBuffer


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info


@pytest.mark.parametrize(
    "call, kind, text",
    [
        (
            lambda: NumpyBuffer(),
            TypeError,
            "__init__() takes exactly 3 positional arguments (1 given)",
        ),
        (
            lambda: NumpyBuffer((2,), "u2", 7),
            TypeError,
            "__init__() takes exactly 3 positional arguments (4 given)",
        ),
        (
            lambda: NumpyBuffer(dtype="u2"),
            TypeError,
            "__init__() takes exactly 3 positional arguments (1 given)",
        ),
        (
            lambda: NumpyBuffer((2,), shape=(3,)),
            TypeError,
            "__init__() got multiple values for keyword argument 'shape'",
        ),
        (
            lambda: NumpyBuffer((2,), "u2", colour=1),
            TypeError,
            "__init__() got an unexpected keyword argument 'colour'",
        ),
        (
            lambda: Buffers().all_reached(1, 2),
            TypeError,
            "all_reached() takes at most 2 positional arguments (3 given)",
        ),
        (lambda: Buffers(1), TypeError, "__init__() takes exactly 1 positional argument (2 given)"),
        (
            lambda: NumpyBuffer.getData(),
            TypeError,
            "unbound method NumpyBuffer.getData() needs an argument",
        ),
        (
            lambda: tailread.SWMRReader("x.h5", "/d", 0, 1),
            TypeError,
            "__init__() takes exactly 6 positional arguments (5 given)",
        ),
    ],
)
def test_binding_errors_use_the_interpreter_texts(call, kind, text):
    info = raised(call)
    assert info.type is kind
    assert str(info.value) == text


def test_arguments_bind_by_position_and_keyword():
    buffer = NumpyBuffer(dtype="u2", shape=(4, 2))
    assert buffer.array.shape == (4, 2) and buffer.array.dtype == np.uint16
    buffer.appendData(data=np.ones((2, 2)))
    assert buffer.getData(remainLen=1).shape == (1, 2)
    pool = Buffers()
    pool.appendNewBuffer(dtype="f4", shape=3)
    assert pool.all_reached(remainLen=0) is True
    assert pool.all_reached() is False


def test_function_objects_carry_their_attributes():
    method = Buffers.all_reached
    assert method.__name__ == "all_reached"
    assert method.__qualname__ == "Buffers.all_reached"
    assert method.__module__ == "hdf5_kel.swmr.library.framepool"
    assert method.__doc__ is None
    assert method.__defaults__ == (1,)
    assert method.__kwdefaults__ is None
    assert method.__annotations__ == {}
    assert method.__dict__ == {}
    assert method.__globals__ is vars(framepool)
    assert method.__closure__ is None
    assert isinstance(method.__code__, types.CodeType)
    assert method.__code__.co_varnames == ("self", "remainLen")
    assert "queue" in tailread.SWMRReader.__doc__
    assert "Close the HDF5 file" in tailread.SWMRReader.close.__doc__
    assert repr(method).startswith("<function Buffers.all_reached at ")


def test_signatures_are_visible_to_inspect():
    assert str(inspect.signature(NumpyBuffer.getData)) == "(self, remainLen)"
    assert str(inspect.signature(Buffers.all_reached)) == "(self, remainLen=1)"
    assert str(inspect.signature(Buffers().getDatas)) == "(remainLen=1)"
    assert str(inspect.signature(NumpyBuffer)) == "(shape, dtype)"
    assert str(inspect.signature(tailread.SWMRReader)) == (
        "(filepath, datasetname, start_frame, total_frames, batch_size)"
    )


def test_defaults_captured_at_definition_stay_in_force():
    pool = Buffers()
    pool.appendNewBuffer((4,), "u1")
    pool.buffers[0].appendData(np.ones(1))
    saved = Buffers.all_reached.__defaults__
    try:
        Buffers.all_reached.__defaults__ = (3,)
        Buffers.all_reached.__kwdefaults__ = {"remainLen": 3}
        assert Buffers.all_reached.__defaults__ == (3,)
        assert pool.all_reached() is True  # still remainLen=1
    finally:
        Buffers.all_reached.__defaults__ = saved
        Buffers.all_reached.__kwdefaults__ = None


def test_attribute_types_are_checked_and_extra_attributes_kept():
    method = NumpyBuffer.getData
    with pytest.raises(TypeError):
        method.__defaults__ = [1]
    with pytest.raises(TypeError):
        method.__name__ = 3
    method.note = "kept"
    try:
        assert method.__dict__["note"] == "kept"
    finally:
        del method.note


def test_methods_bind_their_instance():
    buffer = NumpyBuffer((3,), "i4")
    bound = buffer.getData
    assert isinstance(bound, types.MethodType) and bound.__self__ is buffer
    assert NumpyBuffer.__dict__["getData"].__get__(None, NumpyBuffer) is NumpyBuffer.getData
    assert NumpyBuffer.getData(buffer, 2).shape == (2,)
    assert buffer.index == 2


def test_functions_pickle_by_reference():
    assert pickle.loads(pickle.dumps(NumpyBuffer.getData)) is NumpyBuffer.getData


def test_classes_are_ordinary_classes_of_the_module():
    for cls in (NumpyBuffer, Buffers, tailread.SWMRReader):
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert cls.__qualname__ == cls.__name__
    assert NumpyBuffer.__module__ == "hdf5_kel.swmr.library.framepool"
    assert tailread.SWMRReader.__module__ == "hdf5_kel.swmr.library.tailread"
    assert NumpyBuffer.__doc__ is None


def test_exceptions_carry_a_traceback_entry_for_the_function():
    buffer = NumpyBuffer((2,), "i4")
    info = raised(lambda: buffer.appendData(5))
    assert info.type is AttributeError
    last = traceback.extract_tb(info.tb)[-1]
    assert last.name == "hdf5_kel.swmr.library.framepool.NumpyBuffer.appendData"
    assert last.filename == "hdf5_kel/swmr/library/framepool"
    assert last.lineno > 0
    binding = raised(lambda: Buffers().all_reached(1, 2))
    assert traceback.extract_tb(binding.tb)[-1].name == (
        "hdf5_kel.swmr.library.framepool.Buffers.all_reached"
    )


def test_globals_are_read_from_the_module_then_builtins():
    namespace = vars(framepool)
    saved = namespace.pop("NumpyBuffer")
    try:
        info = raised(lambda: Buffers().appendNewBuffer((2,), "i4"))
        assert info.type is NameError
        assert str(info.value) == "name 'NumpyBuffer' is not defined"
    finally:
        namespace["NumpyBuffer"] = saved
    pool = Buffers()
    pool.appendNewBuffer((2,), "i4")  # the look-up follows the restored global
    assert type(pool.buffers[0]) is saved


def test_module_attributes():
    assert framepool.__name__ == "hdf5_kel.swmr.library.framepool"
    assert framepool.__package__ == "hdf5_kel.swmr.library"
    assert framepool.__file__.endswith(".so")
    assert framepool.__loader__ is framepool.__spec__.loader
    assert framepool.__builtins__ is builtins
    assert framepool.__test__ == {}
    assert not hasattr(framepool, "__path__")
    public = {name for name in vars(framepool) if not name.startswith("_")}
    assert public == {"np", "NumpyBuffer", "Buffers"}
    assert framepool.np is np
    assert tailread.np is np and tailread.numpy is np
    assert tailread.NumpyBuffer is NumpyBuffer and tailread.Buffers is Buffers
    assert tailread.Queue.__module__ == "queue"


def test_reload_keeps_the_one_module():
    classes = (framepool.NumpyBuffer, framepool.Buffers)
    assert importlib.reload(framepool) is framepool
    assert (framepool.NumpyBuffer, framepool.Buffers) == classes


@pytest.mark.parametrize(
    "full_name, short_name",
    [("hdf5_kel.filekit", "filekit"), ("hdf5_kel.swmr.library.framepool", "framepool")],
)
def test_import_after_removal_is_refused_and_the_first_module_stays(full_name, short_name):
    code = f"""
import importlib, sys
first = importlib.import_module({full_name!r})
del sys.modules[{full_name!r}]
for attempt in range(2):
    try:
        importlib.import_module({full_name!r})
    except RuntimeError as error:
        print(type(error).__name__, error)
print({full_name!r} in sys.modules, first.__name__, sorted(vars(first))[-1])
"""
    refused = (
        f"RuntimeError Module '{short_name}' has already been imported."
        " Re-initialisation is not supported."
    )
    lines = finish(start_python(code, "/")).splitlines()
    assert lines[:2] == [refused, refused]
    assert lines[2].startswith(f"False {full_name} ")


@pytest.mark.parametrize(
    "first", ["framepool", "hdf5_kel.swmr.library.framepool", "hdf5_kel.swmr.library.tailread"]
)
def test_bare_framepool_name_is_the_same_module(first, tmp_path):
    code = f"""
import importlib
importlib.import_module({first!r})
import framepool, hdf5_kel.swmr.library.framepool as full, hdf5_kel.swmr.library.tailread as t
assert framepool is full
assert t.NumpyBuffer is full.NumpyBuffer and t.Buffers is full.Buffers and t.np is full.np
print("ok")
"""
    assert finish(start_python(code, tmp_path)).strip() == "ok"


def test_modules_import_without_warnings(tmp_path):
    code = (
        "import warnings; warnings.simplefilter('error'); "
        "import hdf5_kel.swmr.library.tailread, hdf5_kel.swmr.library.feedgen, "
        "hdf5_kel.filekit; print('ok')"
    )
    assert finish(start_python(code, tmp_path)).strip() == "ok"


# Isolated interpreters (3.12 and later) refuse the modules themselves, as the
# modules declare; an interpreter that shares the main one's settings lets the
# import reach the module, which refuses it.
SECOND_INTERPRETERS = ["shared"] + (["isolated"] if sys.version_info >= (3, 12) else [])
SECOND_INTERPRETER_REFUSALS = {
    "shared": (
        "Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    ),
    "isolated": (
        "module hdf5_kel.swmr.library.framepool does not support loading in subinterpreters"
    ),
}
IN_THE_SECOND_INTERPRETER = """
import sys
for attempt in range(2):
    try:
        import hdf5_kel.swmr.library.framepool
    except ImportError as error:
        print("ImportError:", error)
    else:
        print("imported")
print("left:", sorted(name for name in sys.modules if name.endswith(("framepool", "library"))))
"""


@pytest.mark.parametrize("kind", SECOND_INTERPRETERS)
def test_a_second_interpreter_cannot_load_the_module(kind, tmp_path):
    code = """
import sys

try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters

import hdf5_kel.swmr.library.framepool as framepool

kind, script = sys.argv[1:]
if sys.version_info >= (3, 13):
    other = interpreters.create("legacy" if kind == "shared" else "isolated")
elif sys.version_info >= (3, 12):
    other = interpreters.create(isolated=kind == "isolated")
else:
    other = interpreters.create()
interpreters.run_string(other, script)
interpreters.destroy(other)
buffer = framepool.NumpyBuffer((3,), "i4")
buffer.appendData(framepool.np.arange(3))
print("main:", sys.modules["hdf5_kel.swmr.library.framepool"] is framepool, buffer.getData(3))
"""
    out = finish(start_python(code, tmp_path, kind, IN_THE_SECOND_INTERPRETER)).splitlines()
    refusal = f"ImportError: {SECOND_INTERPRETER_REFUSALS[kind]}"
    # Refused on every attempt, nothing left behind in the second interpreter's
    # sys.modules, and the first interpreter's module untouched.
    assert out == [refusal, refusal, "left: []", "main: True [0 1 2]"]


def test_calls_and_errors_do_not_leak():
    buffer = NumpyBuffer((10,), "i4")
    block = np.ones(1)

    def cycle():
        for _ in range(20_000):
            buffer.index = 0
            buffer.getData(2)
            buffer.reallen = 0
            buffer.appendData(block)
            try:
                buffer.getData(1, 2)
            except TypeError:
                pass
            try:
                buffer.appendData(None)
            except AttributeError:
                pass

    cycle()
    before = sys.getallocatedblocks()
    cycle()
    assert sys.getallocatedblocks() - before < 200


SELF_REACHING = """
from hdf5_kel.swmr.library.tailread import SWMRReaderMulti

multi = SWMRReaderMulti([])
multi.readers = [multi]  # close() calls close() of every reader: itself
try:
    multi.close()
except RecursionError as error:
    print(error)
multi.readers = []
"""


def test_functions_calling_each_other_without_end_raise_recursion_error(tmp_path):
    # In a child process: without the check the C stack overflows.
    out = finish(start_python(SELF_REACHING, tmp_path))
    assert out == "maximum recursion depth exceeded while calling a Python object\n"
