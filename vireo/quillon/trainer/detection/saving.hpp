// Checkpoint writing: last.h5 always, best.h5 when the value ties or beats the best so far.
#pragma once

#include "common.hpp"

namespace detection {

// Saves `model` to `path` (HDF5) without ever leaving a half-written file in its place.
inline void save_checkpoint(const Imports& im, const py::object& model, const py::object& path) {
    write_replacing(im, path, ".h5", [&](const py::object& temp) { model.attr("save")(temp); });
}

inline void log_artifact_if_active(const py::object& self, const py::object& path) {
    if (!pykit::truthy(self.attr("activate_mlflow"))) return;
    py::object mlflow = py::module_::import("mlflow");
    if (pykit::truthy(mlflow.attr("active_run")())) mlflow.attr("log_artifact")(path);
}

inline void save_model(const Imports& im, const py::object& self, const py::object& value) {
    py::float_ val = pykit::to_float(value);

    // The training heads go first, so that a channels-first export sees only inference outputs.
    py::object new_model = self.attr("remove_training_outputs")(self.attr("model"));
    if (pykit::truthy(self.attr("NCHW"))) new_model = self.attr("to_nchw")(new_model);

    py::object last = self.attr("last");
    save_checkpoint(im, new_model, last);
    log_artifact_if_active(self, last);

    py::object best_value = self.attr("best_value");
    if (holds(val, best_value, Py_GE)) {
        pykit::print(pykit::format("\t - [INFO] Saving model with improved {} from {} to {}", self.attr("metric"),
                                   best_value, val));
        py::object best = self.attr("best");
        save_checkpoint(im, new_model, best);
        self.attr("best_value") = val;
        log_artifact_if_active(self, best);
    } else if (holds(val, py::int_(-1), Py_GT)) {
        pykit::print(pykit::format("\t - [INFO] No improvement in {} from {} to {} ", self.attr("metric"),
                                   best_value, val));
    }
}

}  // namespace detection
