// Checkpoint writing: last.h5 always, best.h5 when the value ties or beats the best so far.
#pragma once

#include <cstring>

#include "common.hpp"
#include "distribute.hpp"
#include "files.hpp"

namespace detection {

inline const char* const kUnbuiltMetricsWarning = "Compiled the loaded model, but the compiled metrics have yet to be built";

// The logging filter in State::unbuilt_metrics_filter: false (drop) for tf-keras' warning that
// an uncompiled model's metrics are not built. Keras logs it on every save of a model that was
// never compiled, which every checkpoint the trainer writes is; nothing is wrong then.
inline py::object keep_log_record(const py::object& record) {
    py::str message = pykit::as_str(record.attr("getMessage")());
    const bool unbuilt = pykit::truthy(message.attr("startswith")(kUnbuiltMetricsWarning));
    return py::bool_(!unbuilt);
}

// `model.save(path)` with tf-keras' unbuilt-metrics warning filtered out during the call.
inline void save_quietly(const State& s, const py::object& model, const py::object& path) {
    py::object logger = s.tf.attr("get_logger")();
    logger.attr("addFilter")(s.unbuilt_metrics_filter);
    try {
        model.attr("save")(path);
    } catch (...) {
        logger.attr("removeFilter")(s.unbuilt_metrics_filter);
        throw;
    }
    logger.attr("removeFilter")(s.unbuilt_metrics_filter);
}

// Saves `model` to `path` (HDF5) without ever leaving a half-written file in its place.
inline void save_checkpoint(const State& s, const py::object& model, const py::object& path) {
    TemporaryFile temporary(s, path, ".h5");
    save_quietly(s, model, temporary.path());
    temporary.commit();
}

inline void log_artifact_if_active(const py::object& self, const py::object& path) {
    if (!pykit::truthy(self.attr("activate_mlflow")) || !is_chief(self.attr("model"))) return;
    py::object mlflow = py::module_::import("mlflow");
    if (pykit::truthy(mlflow.attr("active_run")())) mlflow.attr("log_artifact")(path);
}

// DetectionTrainer.save_model(self, val)
inline void save_model(const State& s, const py::object& self, const py::object& value) {
    py::float_ val = pykit::to_float(value);  // a float parameter: a non-number is a TypeError
    remove_stale_temporaries(s, self.attr("checkpoint"));

    // The training heads go first, so that a channels-first export sees only inference outputs.
    py::object new_model = self.attr("remove_training_outputs")(self.attr("model"));
    if (pykit::truthy(self.attr("NCHW"))) new_model = self.attr("to_nchw")(new_model);

    py::object last = write_path(s, self, self.attr("last"));  // a worker's own folder off the chief
    save_checkpoint(s, new_model, last);
    log_artifact_if_active(self, last);

    py::object best_value = self.attr("best_value");
    if (pykit::holds(val, best_value, Py_GE)) {
        pykit::print(pykit::format("\t - [INFO] Saving model with improved {} from {} to {}", self.attr("metric"),
                                   best_value, val));
        py::object best = write_path(s, self, self.attr("best"));
        save_checkpoint(s, new_model, best);
        self.attr("best_value") = val;
        log_artifact_if_active(self, best);
    } else if (pykit::holds(val, py::int_(-1), Py_GT)) {
        pykit::print(pykit::format("\t - [INFO] No improvement in {} from {} to {} ", self.attr("metric"),
                                   best_value, val));
    }
}

}  // namespace detection
