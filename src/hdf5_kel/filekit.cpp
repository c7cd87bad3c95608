// filekit: writing HDF5 datasets and comparing them across files.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "hdf5.hpp"

namespace {

namespace py = pybind11;

// Module globals: the body's imports and definitions.
const frame::Global h5py{"h5py"}, np{"np"}, DataSet{"DataSet"},
    compare_dataset_two{"compare_dataset_two"};
const frame::Builtin print{"print"}, AssertionError{"AssertionError"};

const frame::Name dset{"dset"}, index{"index"}, datasetname{"datasetname"}, shape{"shape"},
    dtype{"dtype"}, filepath{"filepath"}, f{"f"}, dsets{"dsets"}, File{"File"},
    create_dataset{"create_dataset"}, reshape{"reshape"}, name{"name"}, items{"items"},
    special_dtype{"special_dtype"}, close{"close"}, get{"get"}, itemsize{"itemsize"}, all{"all"},
    True_{"True_"}, os{"os"}, chmod{"chmod"}, glob{"glob"}, optimize{"optimize"};
const frame::Constant zero{0L}, one{1L}, minus_one{-1L}, minus_three{-3L}, minus_seven{-7L},
    no_text{""}, scalar{"scalar"}, read_only{"r"}, member_path{"%s/%s"},
    main_dataset_missing{"datasetpath %s not found in file %s"};
const frame::Keywords data_only{"data"}, dtype_only{"dtype"}, text_data{"data", "dtype"},
    vlen{"vlen"};

// A comparison reads at most this many bytes of each dataset at a time:
// detector files are often larger than memory.
constexpr Py_ssize_t block_bytes = Py_ssize_t{32} << 20;

using frame::text;

Py_ssize_t to_size(py::handle number) {
  Py_ssize_t value = PyNumber_AsSsize_t(number.ptr(), PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

// The frame shape: every axis after axis 0.
py::object frame_shape(py::handle extent) { return frame::slice(extent, one, py::none()); }

py::object open_swmr(py::handle path) { return frame::open_swmr(h5py, path); }

// class DataSet:

py::object DataSet_init(py::handle self, py::handle dset_, py::handle datasetname_,
                        py::handle shape_, py::handle dtype_) {
  self.attr(dset) = dset_;
  self.attr(index) = zero;
  self.attr(datasetname) = datasetname_;
  self.attr(shape) = shape_;
  self.attr(dtype) = dtype_;
  return {};
}

const char* const DataSet_append_doc = R"(
        Append the data to the HDF5 dataset from self.index on.
        :param data:
        :return:
        )";

py::object DataSet_append(py::handle self, py::handle data) {
  py::object target = self.attr(dset);
  py::object extent = target.attr(shape);
  if (extent.is_none() || py::len(extent) == 0)
    throw py::type_error("cannot append frames to dataset " + text(target.attr(name)) +
                         ": it has no axis 0");
  py::list newshape;
  newshape.append(minus_one);
  for (py::handle axis : frame_shape(extent)) newshape.append(axis);
  // Stored in the (frames, frame shape) layout, so that a flat vector or any
  // other layout of whole frames lands in the rows it counts as.
  py::object data_new = frame::call_method(data, reshape, newshape);
  py::object data_len = frame::integer(py::len(data_new));
  py::object start = self.attr(index);
  py::object end = start + data_len;
  py::object length = frame::item(extent, 0);
  // Refused before the write: h5py clips the slice to the extent, so a single
  // frame past the end would be dropped without a word.
  if (end > length)
    throw py::type_error("block of " + text(data_len) + " frames does not fit into dataset " +
                         text(target.attr(name)) + ": " + text(length - start) + " of " +
                         text(length) + " frames left");
  frame::assign_slice(target, start, end, data_new);
  self.attr(index) = end;
  return {};
}

// class H5File:

py::object H5File_init(py::handle self, py::handle filepath_, py::handle mode) {
  self.attr(filepath) = filepath_;
  self.attr(f) = frame::call(h5py.attr(File), filepath_, mode);
  self.attr(dsets) = py::dict();
  return {};
}

// Wraps the dataset just created, as looked up again in the file, and
// registers the wrapper under its path.
py::object register_dataset(py::handle self, py::handle datasetname_, py::handle dataset,
                            py::handle shape_, py::handle dtype_) {
  py::object registry = self.attr(dsets);
  registry[datasetname_] = frame::call(DataSet, dataset, datasetname_, shape_, dtype_);
  return registry[datasetname_];
}

py::object H5File_create_dataset(py::handle self, py::handle datasetname_, py::handle shape_,
                                 py::handle dtype_) {
  frame::call_kw(py::object(self.attr(f)).attr(create_dataset), dtype_only, datasetname_, shape_,
                 dtype_);
  py::object dataset = py::object(self.attr(f))[datasetname_];
  return register_dataset(self, datasetname_, dataset, shape_, dtype_);
}

py::object H5File_create_dataset_numpy(py::handle self, py::handle datasetname_, py::handle data) {
  frame::call_kw(py::object(self.attr(f)).attr(create_dataset), data_only, datasetname_, data);
  // Read once the dataset exists: h5py stores what it can make an array of,
  // a list say, and such input then leaves its dataset without a wrapper.
  py::object dataset = py::object(self.attr(f))[datasetname_];
  py::object data_shape = data.attr(shape);
  py::object data_dtype = data.attr(dtype);
  return register_dataset(self, datasetname_, dataset, data_shape, data_dtype);
}

py::object H5File_create_dataset_scalar(py::handle self, py::handle datasetname_, py::handle data) {
  frame::call_kw(py::object(self.attr(f)).attr(create_dataset), data_only, datasetname_, data);
  py::object dataset = py::object(self.attr(f))[datasetname_];
  return register_dataset(self, datasetname_, dataset, one, scalar);
}

// `key, value = item`, with the interpreter's own complaint otherwise.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
  py::object sequence =
      frame::steal(PySequence_Fast(item.ptr(), "cannot unpack non-iterable object"));
  Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.ptr());
  if (size != 2)
    throw py::value_error(std::string(size < 2 ? "not enough" : "too many") +
                          " values to unpack (expected 2, got " + std::to_string(size) + ")");
  PyObject** pair = PySequence_Fast_ITEMS(sequence.ptr());
  return {py::reinterpret_borrow<py::object>(pair[0]), py::reinterpret_borrow<py::object>(pair[1])};
}

py::object H5File_create_dataset_map(py::handle self, py::handle datasetname_, py::handle m) {
  py::object file = self.attr(f);
  for (py::handle item : frame::call_method(m, items)) {
    auto [key, value] = unpack_pair(item);
    py::object path =
        frame::steal(PyUnicode_Format(member_path.ptr(), py::make_tuple(datasetname_, key).ptr()));
    py::object dt = frame::call_kw(h5py.attr(special_dtype), vlen,
                                   py::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    py::object create = file.attr(create_dataset);
    py::str text_value(value);
    frame::call_kw(create, text_data, path, text_value, dt);
  }
  return {};
}

py::object H5File_close(py::handle self) {
  frame::call_method(self.attr(f), close);
  return {};
}

// <H5File out.h5, open>
py::object describe_file(py::handle self) {
  return frame::format("<%U %U, %s>", frame::type_name(self), frame::shown(self, filepath),
                       frame::file_state(self, f));
}

// File permissions and comparisons.

py::object file_chmod(py::handle filepath_, py::handle mod) {
  frame::call_method(frame::import(os), chmod, filepath_, mod);
  return {};
}

// (a == b).all() as the array library decides it: NaN equals nothing.
bool arrays_equal(py::handle a, py::handle b) {
  py::object same = frame::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
  return !frame::equal(frame::call_method(same, all), Py_False);
}

// Bytes of one frame of a dataset, everything after axis 0.
Py_ssize_t frame_bytes(py::handle dataset) {
  Py_ssize_t bytes = to_size(py::object(dataset.attr(dtype)).attr(itemsize));
  for (py::handle axis : frame_shape(dataset.attr(shape)))
    if (__builtin_mul_overflow(bytes, to_size(axis), &bytes)) return PY_SSIZE_T_MAX;
  return bytes;
}

// The rows of one dataset that a comparison reads block by block, and what
// its reads keep between blocks.
struct RowSource {
  py::handle dataset;
  py::object extent;
  py::object kept;

  explicit RowSource(py::handle data) : dataset(data), extent(data.attr(shape)) {}

  // dataset[start : start + count]
  py::object read(Py_ssize_t start, Py_ssize_t count) {
    return frame::read_explained(dataset, [&] {
      return frame::read_frames(h5py, np, kept, dataset, extent, frame::integer(start),
                                frame::integer(start + count));
    });
  }
};

// dataset[...], the whole of it
py::object read_whole(py::handle dataset) {
  return frame::read_explained(dataset, [&] { return py::object(dataset[py::ellipsis()]); });
}

// Frames per block of a comparison: as many of the wider frame of the two as
// fit in block_bytes, at least one.
Py_ssize_t block_frames(py::handle first, py::handle second) {
  Py_ssize_t widest = std::max({frame_bytes(first), frame_bytes(second), Py_ssize_t{1}});
  return std::max(block_bytes / widest, Py_ssize_t{1});
}

// Rows [first_start, first_start + count) of `first` against as many rows of
// `second` from second_start on, read in blocks of at most block_bytes of
// each; stops reading at the first block that differs.
bool rows_equal(py::handle first, Py_ssize_t first_start, py::handle second,
                Py_ssize_t second_start, Py_ssize_t count) {
  Py_ssize_t frames_per_block = block_frames(first, second);
  RowSource rows1(first), rows2(second);
  for (Py_ssize_t done = 0; done < count; done += frames_per_block) {
    Py_ssize_t frames = std::min(frames_per_block, count - done);
    py::object block1 = rows1.read(first_start + done, frames);
    py::object block2 = rows2.read(second_start + done, frames);
    if (!arrays_equal(block1, block2)) return false;
  }
  return true;
}

py::object compare_datasets(py::handle dataset1, py::handle dataset2) {
  py::object extent = dataset1.attr(shape);
  if (!frame::equal(extent, dataset2.attr(shape))) return py::bool_(false);
  py::object dtype1 = dataset1.attr(dtype);
  py::object dtype2 = dataset2.attr(dtype);
  if (!frame::equal(dtype1, dtype2)) return py::bool_(false);
  bool same;
  if (extent.is_none())  // no dataspace, so no values: the element types decide
    same = true;
  else if (py::len(extent) == 0) {
    py::object value1 = read_whole(dataset1);
    py::object value2 = read_whole(dataset2);
    same = arrays_equal(value1, value2);
  } else
    same = rows_equal(dataset1, 0, dataset2, 0, to_size(frame::item(extent, 0)));
  if (!same) return py::bool_(false);
  return np.attr(True_);
}

py::object compare_in_two_files(py::handle filepath1, py::handle filepath2,
                                py::handle datasetpath) {
  py::object f1 = open_swmr(filepath1);
  py::object data1 = f1[datasetpath];
  py::object f2 = frame::call(h5py.attr(File), filepath2, read_only);
  py::object data2 = f2[datasetpath];
  return frame::call(compare_dataset_two, data1, data2);
}

py::object compare_two_paths(py::handle filepath1, py::handle datasetpath1, py::handle filepath2,
                             py::handle datasetpath2) {
  py::object f1 = open_swmr(filepath1);
  py::object data1 = f1[datasetpath1];
  py::object f2 = open_swmr(filepath2);
  py::object data2 = f2[datasetpath2];
  py::object flag = frame::call(compare_dataset_two, data1, data2);
  frame::call_method(f1, close);
  frame::call_method(f2, close);
  return flag;
}

// The number in the four characters before a sub-file's extension: the key
// of "run_0007.h5" is 7.
long sub_file_number(py::handle path) {
  py::object key = frame::slice(path, minus_seven, minus_three);
  std::string digits = PyBytes_Check(key.ptr()) ? std::string(py::bytes(key)) : text(key);
  bool four_digits = digits.size() == 4 && std::all_of(digits.begin(), digits.end(),
                                                       [](char c) { return c >= '0' && c <= '9'; });
  if (!four_digits)
    throw py::value_error("sub-file name does not end in four digits before '.h5': " +
                          frame::repr(path));
  return std::stol(digits);
}

// As a failed `assert` does: AssertionError, or False when the interpreter
// runs with assertions disabled (-O).
py::object mismatch(const std::string& message) {
  PyObject* flags = PySys_GetObject("flags");
  if (flags && to_size(py::handle(flags).attr(optimize)) > 0) return py::bool_(false);
  PyErr_SetObject(AssertionError.ptr(), py::str(message).ptr());
  throw py::error_already_set();
}

py::object compare_dataset_subfiles(py::handle filepath_, py::handle datasetpath,
                                    py::handle subFilePathPattern, py::handle subFileDatasetPath) {
  py::object main_file = open_swmr(filepath_);
  py::object data = frame::call_method(main_file, get, datasetpath, py::none());
  if (data.is_none()) {
    print(frame::steal(PyUnicode_Format(main_dataset_missing.ptr(),
                                        py::make_tuple(datasetpath, filepath_).ptr())));
    return py::bool_(false);
  }
  py::object glob_module = frame::import(glob);
  std::vector<std::pair<long, py::object>> subfiles;
  for (py::handle path : frame::call_method(glob_module, glob, subFilePathPattern))
    subfiles.emplace_back(sub_file_number(path), py::reinterpret_borrow<py::object>(path));
  std::stable_sort(subfiles.begin(), subfiles.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // Nothing to compare: the main object need not be a dataset with frames.
  if (subfiles.empty()) return py::bool_(true);

  Py_ssize_t total = py::len(data);
  py::object main_frame_shape = frame_shape(data.attr(shape));
  std::string main_name = text(datasetpath) + " in " + text(filepath_);
  Py_ssize_t index_ = 0;
  for (const auto& numbered : subfiles) {
    const py::object& subfile = numbered.second;
    py::object subf = open_swmr(subfile);
    py::object subdata = frame::call_method(subf, get, subFileDatasetPath, py::none());
    if (subdata.is_none())
      throw py::type_error("dataset " + text(subFileDatasetPath) + " not found in sub-file " +
                           text(subfile));
    Py_ssize_t frames = py::len(subdata);
    std::string rows =
        "frames " + std::to_string(index_) + " to " + std::to_string(index_ + frames);
    // More frames than the main dataset has left, or frames of another shape,
    // are a mismatch whatever broadcasting would make of them.
    if (index_ + frames > total)
      return mismatch("sub-file " + text(subfile) + " reaches past the end of " + main_name + ": " +
                      rows + " of " + std::to_string(total));
    if (!frame::equal(frame_shape(subdata.attr(shape)), main_frame_shape) ||
        !rows_equal(data, index_, subdata, 0, frames))
      return mismatch("sub-file " + text(subfile) + " does not match " + rows + " of " + main_name);
    index_ += frames;
  }
  return py::bool_(true);
}

// @dispatch(*types) applied to a function already defined: the dispatcher it
// returns is bound under the function's name.
template <typename... T>
void register_overload(frame::Body& m, const char* function_name, py::handle function,
                       const T&... types) {
  py::object decorator = frame::call(m.global("dispatch"), types...);
  m.set_global(function_name, frame::call(decorator, function));
}

void body(frame::Body& m) {
  m.import("h5py");
  m.from_import("multipledispatch", {"dispatch"});
  m.import_as("numpy", "np");

  py::tuple no_shape;
  m.define_class(
      "DataSet", nullptr,
      {
          frame::def<DataSet_init>("__init__", {"self", "dset", "datasetname", "shape", "dtype"})
              .defaults({no_text, no_shape, no_text}),
          frame::def<DataSet_append>("append", {"self", "data"}).doc(DataSet_append_doc),
      });
  m.define_class(
      "H5File", nullptr,
      {
          frame::def<H5File_init>("__init__", {"self", "filepath", "mode"}),
          frame::def<H5File_create_dataset>("create_dataset",
                                            {"self", "datasetname", "shape", "dtype"})
              .defaults({py::none(), py::none()}),
          frame::def<H5File_create_dataset_numpy>("create_dataset_numpy",
                                                  {"self", "datasetname", "data"}),
          frame::def<H5File_create_dataset_scalar>("create_dataset_scalar",
                                                   {"self", "datasetname", "data"}),
          frame::def<H5File_create_dataset_map>("create_dataset_map", {"self", "datasetname", "m"}),
          frame::def<H5File_close>("close", {"self"}),
          frame::def<frame::enter_self>("__enter__", {"self"}),
          frame::def<frame::exit_closing>("__exit__",
                                          {"self", "exc_type", "exc_value", "traceback"}),
          frame::def<frame::guarded_repr<describe_file>>("__repr__", {"self"}),
      });

  m.define(frame::def<file_chmod>("file_chmod", {"filepath", "mod"}));

  py::object Dataset = m.global("h5py").attr("Dataset");
  py::handle str(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  register_overload(
      m, "compare_dataset_two",
      m.define(frame::def<compare_datasets>("compare_dataset_two", {"dataset1", "dataset2"})
                   .doc("Compare two datasets.")),
      Dataset, Dataset);
  register_overload(m, "compare_dataset_two",
                    m.define(frame::def<compare_in_two_files>(
                        "compare_dataset_two", {"filepath1", "filepath2", "datasetpath"})),
                    str, str, str);
  register_overload(
      m, "compare_dataset_two",
      m.define(frame::def<compare_two_paths>(
          "compare_dataset_two", {"filepath1", "datasetpath1", "filepath2", "datasetpath2"})),
      str, str, str, str);
  m.define(frame::def<compare_two_paths>(
      "compare_dataset_two1", {"filepath1", "datasetpath1", "filepath2", "datasetpath2"}));
  m.define(frame::def<compare_dataset_subfiles>(
      "compare_dataset_subfiles",
      {"filepath", "datasetpath", "subFilePathPattern", "subFileDatasetPath"}));
}

}  // namespace

FRAME_MODULE(filekit, "hdf5_kel.filekit", "hdf5_kel/filekit", body)
