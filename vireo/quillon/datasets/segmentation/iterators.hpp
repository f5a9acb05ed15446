// The tf.data pipelines of both dataset classes, one step per line in the order they run, and
// the per-element steps they map over.
#pragma once

#include "common/pipeline.hpp"
#include "state.hpp"

namespace seg {

// The steps, as native functions taking the dataset first; an iterator maps over them bound to
// its dataset, as it would over `lambda x: self.read_data(x, True)`.
inline py::object read_train_element(const py::object& self, const py::object& x) {
    return self.attr("read_data")(x, true);
}

inline py::object read_val_element(const py::object& self, const py::object& x) {
    return self.attr("read_data")(x, false);
}

inline py::object mask_train_element(const py::object& self, const py::object& image, const py::object& outlines,
                                     const py::object& classes) {
    return self.attr("build_gt_mask")(pykit::list_of(image, outlines, classes));
}

inline py::object mask_val_element(const py::object& self, const py::object& image, const py::object& outlines,
                                   const py::object& classes, const py::object& path) {
    py::object pair = self.attr("build_gt_mask")(pykit::list_of(image, outlines, classes));
    return pair + py::make_tuple(path);
}

// `step` bound to `self`, as `self.step` would be.
inline py::object bound(const py::object& step, const py::object& self) {
    PyObject* method = PyMethod_New(step.ptr(), self.ptr());
    if (!method) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(method);
}

// The training pipeline of both classes: `source` one element per sample, shuffled whole
// (over `buffer_size` elements, or the dataset's cardinality when empty), read by `read`,
// painted, augmented, batched to full batches only, prefetched, with autotuning off.
inline py::object train_pipeline(const State& s, const py::object& self, const py::object& source,
                                 const py::object& buffer_size, const py::object& read, const py::object& batch_size,
                                 const py::object& prefetch) {
    py::object autotune = s.tf.attr("data").attr("AUTOTUNE");
    py::object shape = self.attr("shape");
    py::object ds = s.tf.attr("data").attr("Dataset").attr("from_tensor_slices")(source);
    ds = ds.attr("shuffle")(py::arg("buffer_size") = buffer_size ? buffer_size : py::object(ds.attr("cardinality")()),
                            py::arg("reshuffle_each_iteration") = true);
    ds = ds.attr("map")(read, py::arg("num_parallel_calls") = autotune);
    ds = ds.attr("map")(bound(s.mask_train_step, self), py::arg("num_parallel_calls") = autotune);
    ds = ds.attr("map")(self.attr("tf_apply_augmentation"), py::arg("num_parallel_calls") = autotune);
    ds = ds.attr("padded_batch")(py::arg("batch_size") = batch_size, py::arg("drop_remainder") = true,
                                 py::arg("padded_shapes") = py::make_tuple(shape, height_width(shape)));
    return datasets::without_autotuning(s.tf, ds.attr("prefetch")(py::arg("buffer_size") = prefetch));
}

// SegmentationDataset.build_train_iterator
inline py::object train_iterator(const State& s, const py::object& self, const py::object& batch_size,
                                 const py::object& prefetch) {
    return train_pipeline(s, self, self.attr("train_storage"), py::object(), bound(s.read_train_step, self),
                          batch_size, prefetch);
}

// SegmentationDatasetJsonCOCO.build_train_iterator
inline py::object coco_train_iterator(const State& s, const py::object& self, const py::object& batch_size,
                                      const py::object& prefetch) {
    py::object ids = self.attr("train_images_id");
    return train_pipeline(s, self, ids, py::int_(pykit::len(ids)), self.attr("read_data"), batch_size, prefetch);
}

// SegmentationDataset.build_val_iterator: samples in storage order, unbatched, with their path.
inline py::object val_iterator(const State& s, const py::object& self, const py::object& prefetch) {
    py::object ds = s.tf.attr("data").attr("Dataset").attr("from_tensor_slices")(self.attr("val_storage"));
    ds = ds.attr("map")(bound(s.read_val_step, self), py::arg("num_parallel_calls") = s.tf.attr("data").attr("AUTOTUNE"));
    ds = ds.attr("map")(bound(s.mask_val_step, self));
    return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
}

// SegmentationDatasetJsonCOCO.build_val_iterator: no validation split is served.
inline py::object no_val_iterator(const py::object&, const py::object&, const py::object&) { return py::none(); }

}  // namespace seg
