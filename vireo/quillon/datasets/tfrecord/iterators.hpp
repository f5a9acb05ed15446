// The TFRecord base iterator (serialized examples of every record file) and the iterator
// builders of TFRecordDataset, which count a split whose sample count is 0.
#pragma once

#include <pykit.hpp>

#include "state.hpp"

namespace tfrecord {
namespace py = pybind11;

// TFRecordDatasetYaml.build_and_load_base_iterator: every file read in parallel; a shuffle
// buffer of 200 records, reshuffled at every pass.
inline py::object base_iterator(const State& s, const py::object& /*self*/, const py::object& storage,
                                const py::object& shuffle) {
    py::object data = s.tf.attr("data");
    py::object iterator = data.attr("TFRecordDataset")(storage, py::arg("num_parallel_reads") = data.attr("AUTOTUNE"));
    if (pykit::truthy(shuffle)) iterator = iterator.attr("shuffle")(200, py::arg("reshuffle_each_iteration") = true);
    return iterator;
}

// Adds the batch sizes of a full pass over `ds_iter` to `self.<counter>`. Training elements are
// (images, (boxes,)), validation ones (image, boxes, name): both lead with the batch dimension.
inline void count_samples(const py::object& self, const char* counter, const py::object& ds_iter, bool training) {
    py::object total = self.attr(counter);
    for (py::handle element : ds_iter) {
        py::object first = training ? py::object(element[py::int_(1)][py::int_(0)]) : py::object(element[py::int_(0)]);
        py::tuple dims = first.attr("shape");
        py::object size = dims[0];
        total = total + size;
    }
    self.attr(counter) = total;
}

// TFRecordDataset.build_val_iterator
inline py::object val_iterator(const State& s, const py::object& self, const py::object& batch_size) {
    py::object ds_iter =
        pykit::super(s.TFRecordDataset, self).attr("build_val_iterator")(py::arg("batch_size") = batch_size);
    if (pykit::equals(self.attr("num_val_samples"), py::int_(0)))
        count_samples(self, "num_val_samples", ds_iter, false);
    return ds_iter;
}

// TFRecordDataset.build_train_iterator
inline py::object train_iterator(const State& s, const py::object& self, const py::object& batch_size,
                                 const py::object& prefetch) {
    py::object ds_iter = pykit::super(s.TFRecordDataset, self)
                             .attr("build_train_iterator")(py::arg("batch_size") = batch_size,
                                                           py::arg("prefetch") = prefetch);
    if (pykit::equals(self.attr("num_train_samples"), py::int_(0)))
        count_samples(self, "num_train_samples", ds_iter, true);
    return ds_iter;
}

}  // namespace tfrecord
