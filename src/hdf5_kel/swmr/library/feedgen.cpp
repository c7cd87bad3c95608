// feedgen: test writers that grow SWMR files over time, for the live readers
// to follow from another process.
//
// Every writer keeps to the same recipe, the one the readers rely on: create
// the file with the latest format, create the dataset with every axis at
// length 0 and unlimited, switch SWMR mode on, then only ever append along
// axis 0 (resize, write the new rows, flush the dataset).
#include "frame.hpp"

namespace {

namespace py = pybind11;

// Module globals: the body's imports.
const frame::Global h5py{"h5py"}, np{"np"}, time_{"time"}, functools{"functools"};
const frame::Builtin print{"print"}, range{"range"};

const frame::Name File{"File"}, create_dataset{"create_dataset"}, swmr_mode{"swmr_mode"},
    array{"array"}, int32{"int32"}, shape{"shape"}, resize{"resize"}, flush{"flush"},
    sleep{"sleep"}, close{"close"}, reduce{"reduce"}, arange{"arange"}, reshape{"reshape"},
    random{"random"}, randint{"randint"};
const frame::Constant zero{0L}, one{1L}, two{2L}, three{3L}, four{4L}, fifteen{15L},
    value_limit{1000L}, replace{"w"}, latest{"latest"}, basic_file{"swmr.h5"},
    basic_dataset{"/data"}, flush_finished{"flush finished"},
    flush_finished_kel{"flush finished kel"};
const frame::Keywords libver{"libver"}, growing{"maxshape", "dtype"};

// h5py.File(path, "w", libver="latest"): a new file, replacing any of that name.
py::object create_file(py::handle path) {
  return frame::call_kw(h5py.attr(File), libver, path, replace, latest);
}

// The frame axes of an append take the lengths of the frames written; axis 0
// grows by their count.
void resize_for(py::handle dset, py::handle frames, py::handle frame_axes) {
  py::list new_shape(dset.attr(shape));
  new_shape[0] = py::object(new_shape[0]) + frames;
  frame::assign_slice(new_shape, one, py::none(), frame_axes);
  frame::call_method(dset, resize, new_shape);
}

// Writes the rows from `position` on, reads the whole dataset back as every
// writer here does, and flushes so that refreshing readers see the new rows.
void write_flush(py::handle dset, py::handle position, py::handle block) {
  frame::assign_slice(dset, position, py::none(), block);
  frame::slice(dset, py::none(), py::none());
  frame::call_method(dset, flush);
}

py::object basic_writer() {
  py::object f = create_file(basic_file);
  py::object arr = frame::call_method(np, array, py::make_tuple(one, two, three, four));
  py::object dset =
      frame::call_kw(f.attr(create_dataset), growing, basic_dataset, py::make_tuple(zero, zero),
                     py::make_tuple(py::none(), py::none()), np.attr(int32));
  f.attr(swmr_mode) = py::handle(Py_True);
  for (py::handle i : range(fifteen)) {
    frame::call_method(dset, resize, py::make_tuple(i + one, four));
    write_flush(dset, i, arr);
    print(flush_finished, i);
    frame::call_method(time_, sleep, one);
  }
  return {};
}

py::object writer_first_dim2() {
  py::object f = create_file(basic_file);
  py::object dset =
      frame::call_kw(f.attr(create_dataset), growing, basic_dataset, py::make_tuple(zero, zero),
                     py::make_tuple(py::none(), py::none()), np.attr(int32));
  f.attr(swmr_mode) = py::handle(Py_True);
  py::object arr = frame::call_method(np, array, py::make_tuple(one, two, three, four));
  for (py::handle i : range(fifteen)) {
    resize_for(dset, one, arr.attr(shape));
    write_flush(dset, i, arr);
    print(flush_finished, i);
    frame::call_method(time_, sleep, one);
  }
  return {};
}

// The opening of the configurable writers: file, dataset with `len(shape_set)`
// axes all at length 0 and unlimited, SWMR mode on.
std::pair<py::object, py::object> open_growing(py::handle filepath, py::handle datasetname,
                                               py::handle shape_set, py::handle dtype) {
  py::object f = create_file(filepath);
  std::size_t dim = py::len(shape_set);
  py::list lengths(dim), unlimited(dim);
  for (std::size_t axis = 0; axis < dim; ++axis) {
    lengths[axis] = zero;
    unlimited[axis] = py::none();
  }
  py::object dset =
      frame::call_kw(f.attr(create_dataset), growing, datasetname, lengths, unlimited, dtype);
  f.attr(swmr_mode) = py::handle(Py_True);
  return {std::move(f), std::move(dset)};
}

py::object multiply(py::handle a, py::handle b) { return a * b; }
const frame::Lambda<multiply> product_of{"writer_first_dim3", {"a", "b"}};

py::object writer_first_dim3(py::handle filepath, py::handle datasetname, py::handle shape_set,
                             py::handle dtype) {
  auto [f, dset] = open_growing(filepath, datasetname, shape_set, dtype);
  py::object frame_axes = frame::slice(shape_set, one, py::none());
  py::object count = frame::call_method(functools, reduce, product_of.make(), frame_axes);
  py::object arr = frame::call_method(frame::call_method(np, arange, count), reshape, frame_axes);
  for (py::handle i : range(frame::item(shape_set, 0))) {
    resize_for(dset, one, arr.attr(shape));
    write_flush(dset, i, arr);
    print(flush_finished, i);
  }
  frame::call_method(f, close);
  return {};
}

// [frames] + list(frame_axes): the shape of a block of `frames` frames.
py::list block_shape(py::handle frames, py::handle frame_axes) {
  py::list block;
  block.append(frames);
  for (py::handle length : frame_axes) block.append(length);
  return block;
}

py::object writer_first_dim3_multiline(py::handle filepath, py::handle datasetname,
                                       py::handle shape_set, py::handle dtype,
                                       py::handle segmentsize) {
  // Checked before the file is touched: a block size of zero or below can
  // write nothing sensible, and an existing file at the path must survive it.
  if (!PyIndex_Check(segmentsize.ptr()))
    throw py::type_error("segmentsize must be a whole number of frames, got " +
                         py::repr(segmentsize).cast<std::string>());
  if (segmentsize <= zero)
    throw py::value_error("segmentsize must be a positive number of frames, got " +
                          py::repr(segmentsize).cast<std::string>());
  auto [f, dset] = open_growing(filepath, datasetname, shape_set, dtype);
  py::object frame_count = frame::item(shape_set, 0);
  py::object frame_axes = frame::slice(shape_set, one, py::none());
  py::list segment_shape = block_shape(segmentsize, frame_axes);
  py::object random_ = np.attr(random);
  for (py::handle i : range(zero, frame_count - segmentsize + one, segmentsize)) {
    py::object arr = frame::call_method(random_, randint, zero, value_limit, segment_shape);
    resize_for(dset, segmentsize, frame::slice(arr.attr(shape), one, py::none()));
    write_flush(dset, i, arr);
    print(flush_finished_kel, i);
    frame::call_method(time_, sleep, one);
  }
  py::list single_shape = block_shape(one, frame_axes);
  // int(count / segmentsize) rounds toward zero, so a negative frame count
  // leaves no single frames either.
  py::object start = py::int_(frame_count / segmentsize) * segmentsize;
  for (py::handle i : range(start, frame_count)) {
    py::object arr = frame::call_method(random_, random, single_shape);
    resize_for(dset, one, frame::slice(arr.attr(shape), one, py::none()));
    write_flush(dset, i, arr);
  }
  frame::call_method(f, close);
  return {};
}

void body(frame::Body& m) {
  m.import("h5py");
  py::object numpy = m.import_as("numpy", "np");
  m.import("time");
  m.import("functools");

  py::object default_shape_set = py::make_tuple(10, 2, 3);
  py::object default_dtype = numpy.attr(int32);
  m.define(frame::def<basic_writer>("basic_writer", {}));
  m.define(frame::def<writer_first_dim2>("writer_first_dim2", {}));
  m.define(frame::def<writer_first_dim3>("writer_first_dim3",
                                         {"filepath", "datasetname", "shape_set", "dtype"})
               .defaults({default_shape_set, default_dtype}));
  m.define(frame::def<writer_first_dim3_multiline>(
               "writer_first_dim3_multiline",
               {"filepath", "datasetname", "shape_set", "dtype", "segmentsize"})
               .defaults({default_shape_set, default_dtype, py::int_(10)}));
}

}  // namespace

FRAME_MODULE(feedgen, "hdf5_kel.swmr.library.feedgen", "hdf5_kel/swmr/library/feedgen", body)
