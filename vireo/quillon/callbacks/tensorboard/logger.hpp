// The TensorBoard logger's steps: construction, the filtered scalar writes, images.
#pragma once

#include "direct_writes.hpp"
#include "state.hpp"

namespace tensorboard {

// TensorBoard.__init__(self, storage, metric_names=None)
inline void construct(const State& s, const py::object& self, const py::object& storage,
                      const py::object& metric_names) {
    // Checked before anything touches the disk.
    if (metric_names.is_none() || pykit::len(metric_names) == 0) pykit::raise(PyExc_ValueError, kEmptyNames);
    self.attr("storage") = storage;
    py::object path = s.os.attr("path");
    if (!pykit::truthy(path.attr("exists")(self.attr("storage"))))
        s.os.attr("makedirs")(self.attr("storage"), py::arg("exist_ok") = true);
    self.attr("metric_names") = metric_names;
    self.attr("global_step") = py::int_(0);
    self.attr("writer") = s.tf.attr("summary").attr("create_file_writer")(self.attr("storage"));
    pykit::print(pykit::format("\t - TensorBoard Log: {}", self.attr("storage")));
}

// A plain resource variable (the optimizer's learning rate), when running eagerly, is read
// once, by the read op alone: its truth and the value written then come from that one read,
// where bool() and the write would each read it again (bool() through read_value(), two ops
// and layers of Python). Other values are returned as they are.
inline py::object read_once(const State& s, const py::object& value, bool eager) {
    if (!eager || !s.resource_variable || !py::type::of(value).is(s.resource_variable)) return value;
    return s.read_variable(py::arg("resource") = value.attr("handle"), py::arg("dtype") = value.attr("dtype"));
}

// `value` read from `mapping` for `key` (see read_once), and whether it is truthy. bool() of
// a 0-d eager tensor is bool() of its NumPy scalar, read directly and kept for the write.
inline bool truthy_entry(const State& s, const py::object& mapping, const py::handle& key, bool eager,
                         Chosen& entry) {
    py::object found = pykit::dict_find(mapping, key);  // mapping.get(key), without a method call
    entry.value = read_once(s, found ? found : py::object(py::none()), eager);
    entry.scalar = eager_scalar(s, entry.value);
    return pykit::truthy(entry.scalar ? entry.scalar : entry.value);
}

// The value written for `key`: the metric when truthy, else the loss when truthy; false when
// neither is (0, False and None are never written). Without a metrics dictionary nothing is
// written and the losses are not asked either.
inline bool value_for(const State& s, const py::handle& key, const py::object& metrics, const py::object& losses,
                      bool eager, Chosen& chosen) {
    if (metrics.is_none()) return false;
    if (truthy_entry(s, metrics, key, eager, chosen)) return true;
    if (losses.is_none()) return false;
    return truthy_entry(s, losses, key, eager, chosen);
}

// `with self.writer.as_default(): tf.summary.scalar(key, value, step=self.global_step)`
inline void write_scalar(const State& s, const py::object& self, const py::handle& key, const py::object& value) {
    py::object scalar = s.tf.attr("summary").attr("scalar");
    pykit::with(self.attr("writer").attr("as_default")(),
                [&] { scalar(key, value, py::arg("step") = self.attr("global_step")); });
}

inline void write_eagerly(const State& s, const py::object& self, const ChosenValues& pairs) {
    for (const Chosen& chosen : pairs) write_scalar(s, self, chosen.tag, chosen.value);
}

// TensorBoard.update_metrics(self, metrics=None, losses=None)
inline void update_metrics(const State& s, const py::object& self, const py::object& metrics,
                           const py::object& losses) {
    py::object names = self.attr("metric_names");
    if (pykit::len(names) == 0) {
        s.warnings.attr("warn")(kNothingToWrite);
        return;
    }
    // The values are chosen first and written together. When choosing one fails (a value whose
    // truth is undefined), the ones before it are written first, as a write per key would have.
    const bool eager = pykit::truthy(s.tf.attr("executing_eagerly")());
    ChosenValues pairs;
    try {
        for (py::handle key : py::iter(names)) {
            Chosen chosen;
            if (!value_for(s, key, metrics, losses, eager, chosen)) continue;
            chosen.tag = py::reinterpret_borrow<py::object>(key);
            pairs.push_back(std::move(chosen));
        }
    } catch (py::error_already_set&) {
        write_eagerly(s, self, pairs);
        throw;
    }
    if (pairs.empty() || !write_direct(s, self, pairs, eager)) {
        write_eagerly(s, self, pairs);
        self.attr("writer").attr("flush")();
    }
    py::object step = self.attr("global_step");
    self.attr("global_step") = step + py::int_(1);
}

// TensorBoard.upload_image(self, caption, image, epoch)
inline void upload_image(const State& s, const py::object& self, const py::object& caption, const py::object& image,
                         const py::object& epoch) {
    pykit::with(self.attr("writer").attr("as_default")(), [&] {
        s.tf.attr("summary").attr("image")(caption, s.tf.attr("expand_dims")(image, 0), py::arg("step") = epoch);
    });
}

// TensorBoard.refresh(self)
inline void refresh(const py::object& self) { self.attr("writer").attr("flush")(); }

}  // namespace tensorboard
