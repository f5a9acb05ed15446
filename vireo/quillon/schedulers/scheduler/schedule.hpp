// The warm-up, hold and cosine-decay learning rate: construction, the rate formula, the call
// Keras makes with the optimizer's step count, and the configuration Keras saves.
#pragma once

#include <pykit.hpp>

#include <cmath>
#include <string>

namespace scheduler {
namespace py = pybind11;

// The module's Python state, seen by the garbage collector.
struct State : pykit::Captures {
    pykit::Ref tf{this};
    pykit::Ref np{this};
    pykit::Ref WarmUpCosineDecay{this};  // the class itself, for super()

    // Looked up once, used on every evaluation.
    pykit::Ref cast{this};
    pykit::Ref float32{this};
    pykit::Ref where{this};
    pykit::Ref is_tensor{this};
    pykit::Ref np_integer{this};   // np.integer
    pykit::Ref np_floating{this};  // np.floating
};

// TensorFlow binds a graph-function method to its instance through a weak reference, so a
// schedule that nobody holds any more arrives here as None. Said plainly.
inline void require_instance(const py::object& self, const char* method) {
    if (!self.is_none()) return;
    pykit::raise(PyExc_ReferenceError,
                 std::string("WarmUpCosineDecay.") + method +
                     ": the schedule was released before this call ran (TensorFlow binds graph-function methods "
                     "through a weak reference). Keep the schedule in a variable.");
}

// tf.cast(value, tf.float32)
inline py::object as_float32(const State& s, const py::object& value) { return s.cast(value, s.float32); }

// A float32 variable holding 0, outside training.
inline py::object zero_variable(const State& s) {
    return s.tf.attr("Variable")(0.0, py::arg("trainable") = false, py::arg("dtype") = s.float32);
}

// A rate as a float (float() of a real number, else TypeError); a NaN or infinite rate would
// make every rate of the schedule NaN or infinite, so it is refused.
inline py::float_ finite_rate(const char* name, const py::object& value) {
    py::float_ rate = pykit::to_float(value);
    if (!std::isfinite(rate.cast<double>()))
        pykit::raise(PyExc_ValueError, std::string("WarmUpCosineDecay: ") + name + " must be a finite number, got " +
                                           std::string(py::repr(rate)));
    return rate;
}

// A step count is kept as given; it must be a tensor or a finite real number (a Python or
// NumPy integer or float), which the first evaluation would otherwise meet as a NaN rate or a
// conversion error far from here.
inline void check_step_count(const State& s, const char* name, const py::object& value) {
    if (pykit::truthy(s.is_tensor(value))) return;
    const bool integer = PyLong_Check(value.ptr()) || py::isinstance(value, s.np_integer);
    const bool floating = PyFloat_Check(value.ptr()) || py::isinstance(value, s.np_floating);
    if (!integer && !floating)
        pykit::raise(PyExc_TypeError, std::string("WarmUpCosineDecay: ") + name + " must be a number of steps, not " +
                                          Py_TYPE(value.ptr())->tp_name);
    if (floating && !std::isfinite(pykit::to_float(value).cast<double>()))
        pykit::raise(PyExc_ValueError, std::string("WarmUpCosineDecay: ") + name + " must be finite, got " +
                                           std::string(py::repr(value)));
}

// WarmUpCosineDecay.__init__(self, start_lr, target_lr, warmup_steps, total_steps, hold)
inline void construct(const State& s, const py::object& self, const py::object& start_lr, const py::object& target_lr,
                      const py::object& warmup_steps, const py::object& total_steps, const py::object& hold) {
    // `super().__init__()`. Called unbound with a None self, Python's super() is an unbound
    // super object whose __init__ does nothing, and the first attribute set below fails; any
    // other wrong self fails in super() with its TypeError.
    if (!self.is_none()) pykit::super(s.WarmUpCosineDecay, self).attr("__init__")();
    self.attr("start_lr") = finite_rate("start_lr", start_lr);
    self.attr("target_lr") = finite_rate("target_lr", target_lr);
    check_step_count(s, "warmup_steps", warmup_steps);
    check_step_count(s, "total_steps", total_steps);
    check_step_count(s, "hold", hold);
    self.attr("warmup_steps") = warmup_steps;
    self.attr("total_steps") = total_steps;
    self.attr("hold") = hold;
    // The latest evaluation's values live in variables that start at 0: a tensor computed
    // inside a graph function cannot be read back from another graph.
    self.attr("_warmup_lr") = zero_variable(s);
    self.attr("_learning_rate") = zero_variable(s);
}

// WarmUpCosineDecay.get_warmup(self)
inline py::object get_warmup(const py::object& self) {
    require_instance(self, "get_warmup");
    return self.attr("_warmup_lr");
}

// WarmUpCosineDecay.get_learning_rate(self)
inline py::object get_learning_rate(const py::object& self) {
    require_instance(self, "get_learning_rate");
    return self.attr("_learning_rate");
}

// 0.5 * T * (1 + cos(pi * (s - W - H) / (N - W - H))), evaluated in this order, in float32.
inline py::object cosine_decay(const State& s, const py::object& global_step, const py::object& warmup_steps,
                               const py::object& hold, const py::object& total_steps, const py::object& target_lr) {
    py::object half_target = py::float_(0.5) * as_float32(s, target_lr);
    py::object progress = as_float32(s, global_step) - as_float32(s, warmup_steps) - as_float32(s, hold);
    py::object angle = s.tf.attr("constant")(s.np.attr("pi")) * progress;
    angle = angle / (as_float32(s, total_steps) - as_float32(s, warmup_steps) - as_float32(s, hold));
    return half_target * (py::float_(1.0) + s.tf.attr("cos")(angle));
}

// WarmUpCosineDecay.lr_warmup_cosine_decay(self, global_step, warmup_steps, hold=0,
// total_steps=0, start_lr=0.0, target_lr=0.001): the rate before the end-of-schedule rule.
// The floor is the attribute self.start_lr; the start_lr parameter is not read.
inline py::object lr_warmup_cosine_decay(const State& s, const py::object& self, const py::object& global_step,
                                         const py::object& warmup_steps, const py::object& hold,
                                         const py::object& total_steps, const py::object& /*start_lr*/,
                                         const py::object& target_lr) {
    require_instance(self, "lr_warmup_cosine_decay");
    py::object learning_rate = cosine_decay(s, global_step, warmup_steps, hold, total_steps, target_lr);
    py::object warmup_lr = target_lr * (global_step / warmup_steps);
    // `if hold > 0:` on the value passed, decided when the graph is traced.
    if (pykit::holds(hold, py::int_(0), Py_GT))
        learning_rate = s.where(pykit::compare(global_step, warmup_steps + hold, Py_GT), learning_rate, target_lr);
    self.attr("_warmup_lr").attr("assign")(as_float32(s, warmup_lr));
    self.attr("_learning_rate").attr("assign")(as_float32(s, learning_rate));

    learning_rate = s.where(pykit::compare(global_step, warmup_steps, Py_LT), warmup_lr, learning_rate);
    py::object floor = self.attr("start_lr");
    return s.where(pykit::compare(learning_rate, floor, Py_LT), floor, learning_rate);
}

// WarmUpCosineDecay._rate_at_step(self, step), the graph of __call__: the rate at a step
// tensor, a float32 scalar made by the "learning_rate" select.
inline py::object rate_at_step(const State& s, const py::object& self, const py::object& step) {
    require_instance(self, "_rate_at_step");
    py::object lr = self.attr("lr_warmup_cosine_decay")(
        py::arg("global_step") = as_float32(s, step), py::arg("total_steps") = self.attr("total_steps"),
        py::arg("warmup_steps") = as_float32(s, self.attr("warmup_steps")),
        py::arg("start_lr") = self.attr("start_lr"), py::arg("target_lr") = self.attr("target_lr"),
        py::arg("hold") = self.attr("hold"));
    return s.where(pykit::compare(step, self.attr("total_steps"), Py_GT), self.attr("start_lr"), lr,
                   py::arg("name") = "learning_rate");
}

// WarmUpCosineDecay.__call__(self, step): the rate at `step`. A plain number (a Python int
// given eagerly) becomes a tensor first, so that every step value shares the graph traced for
// its dtype instead of tracing one graph per value.
inline py::object call(const State& s, const py::object& self, const py::object& step) {
    const bool tensor = pykit::truthy(s.is_tensor(step));
    return self.attr("_rate_at_step")(tensor ? step : s.tf.attr("convert_to_tensor")(step));
}

// WarmUpCosineDecay.get_config(self): the constructor's arguments, so that Keras can save a
// model compiled with an optimizer on this schedule and rebuild the schedule on loading.
inline py::object get_config(const py::object& self) {
    py::dict config;
    for (const char* name : {"start_lr", "target_lr", "warmup_steps", "total_steps", "hold"})
        config[name] = self.attr(name);
    return config;
}

}  // namespace scheduler
