// Shared pieces of the detection trainer: the module's state (its imports and a few
// attributes looked up once) and small helpers that reproduce Python statements.
#pragma once

#include <pykit.hpp>

namespace detection {
namespace py = pybind11;

// The module's Python state, seen by the garbage collector.
struct State : pykit::Captures {
    // The module's imports, in load order.
    pykit::Ref TrainingTensorBoardWriter{this};
    pykit::Ref tqdm{this};
    pykit::Ref tf{this};
    pykit::Ref np{this};
    pykit::Ref json{this};
    pykit::Ref os{this};
    pykit::Ref time{this};
    pykit::Ref csv{this};
    pykit::Ref QuillonTrainingCallback{this};

    // Looked up once, used on every step.
    pykit::Ref schedule_type{this};  // tf.keras.optimizers.schedules.LearningRateSchedule
    pykit::Ref tensor_type{this};    // tf.Tensor
    pykit::Ref model_type{this};     // tf.keras.models.Model
    pykit::Ref resource_variable{this};  // the plain tf.Variable class, when TensorFlow's module has it
    pykit::Ref read_variable{this};      // tf.raw_ops.ReadVariableOp
    pykit::Ref eager_tensor{this};       // the class of eager tensors, when TensorFlow's module has it
    // A logging filter dropping tf-keras' "compiled metrics have yet to be built" warning,
    // which every save of an uncompiled model provokes (see saving.hpp).
    pykit::Ref unbuilt_metrics_filter{this};
    // The training step under tf.distribute: one replica's part, and the whole step that runs it
    // on every replica, given a batch or reading the next one (see distribute.hpp).
    pykit::Ref replica_train_step{this};
    pykit::Ref distributed_train_step{this};
    pykit::Ref distributed_next_step{this};
};

inline const char* const kBarFormat = "{l_bar}{bar:15}{r_bar}{bar:-15b}";

// Python's `fmt % value`.
inline py::object percent(const char* fmt, const py::handle& value) {
    PyObject* r = PyNumber_Remainder(py::str(fmt).ptr(), value.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

inline py::object get(const py::handle& mapping, const char* key) { return mapping.attr("get")(key); }

inline py::object path_join(const State& s, const py::handle& a, const char* b) {
    return s.os.attr("path").attr("join")(a, b);
}

inline bool path_exists(const State& s, const py::handle& path) {
    return pykit::truthy(s.os.attr("path").attr("exists")(path));
}

// `with open(path, "w") as f: f.write(text)`
inline void write_text(const py::handle& path, const py::handle& text) {
    pykit::with(pykit::builtin("open")(path, "w"), [&](const py::object& f) { f.attr("write")(text); });
}

// The learning rate in force: a schedule is evaluated at the optimizer's step count,
// anything else is returned as it is (a variable for Keras optimizers).
inline py::object current_learning_rate(const State& s, const py::object& optimizer) {
    py::object lr = optimizer.attr("lr");
    if (py::isinstance(lr, s.schedule_type)) return lr(optimizer.attr("iterations"));
    return lr;
}

}  // namespace detection
