// vireo.quillon.schedulers.scheduler: the warm-up, hold and cosine-decay learning rate.
#include <pykit.hpp>

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kScheduleDoc =
    "Learning-rate schedule: linear warm-up, optional hold, then half-cosine decay.\n"
    "\n"
    "The rate rises linearly from 0 to ``target_lr`` over ``warmup_steps`` steps, stays at\n"
    "``target_lr`` for ``hold`` steps, then follows a half cosine down to 0 at ``total_steps``.\n"
    "It never falls below ``start_lr`` and equals ``start_lr`` after ``total_steps``.\n"
    "\n"
    "Args:\n"
    "    start_lr (float): floor of the schedule and its value after ``total_steps``.\n"
    "    target_lr (float): peak rate, reached at the end of the warm-up.\n"
    "    warmup_steps (int): number of steps of the linear warm-up.\n"
    "    total_steps (int): step after which the rate is ``start_lr``.\n"
    "    hold (int): number of steps spent at ``target_lr`` after the warm-up.\n";

struct Imports {
    py::object tf;
    py::object np;
    py::object cast;
    py::object float32;
    py::object where;
};

}  // namespace

PYBIND11_MODULE(scheduler, m) {
    auto im = std::make_shared<Imports>();
    im->tf = py::module_::import("tensorflow");
    im->np = py::module_::import("numpy");
    im->cast = im->tf.attr("cast");
    im->float32 = im->tf.attr("float32");
    im->where = im->tf.attr("where");
    const std::string module = "vireo.quillon.schedulers.scheduler";

    py::object tf_function = im->tf.attr("function");
    py::object base = im->tf.attr("keras").attr("optimizers").attr("schedules").attr("LearningRateSchedule");
    py::object builtins = py::module_::import("builtins");
    py::object float_t = builtins.attr("float"), int_t = builtins.attr("int");
    auto cls = pykit::class_ref();

    pykit::ClassBuilder(module, "WarmUpCosineDecay", py::make_tuple(base))
        .doc(kScheduleDoc)
        .def("__init__",
             {arg("self"), arg("start_lr").ann(float_t), arg("target_lr").ann(float_t),
              arg("warmup_steps").ann(int_t), arg("total_steps").ann(int_t), arg("hold").ann(int_t)},
             [cls, im](py::object self, py::object start_lr, py::object target_lr, py::object warmup_steps,
                   py::object total_steps, py::object hold) {
                 pykit::super(*cls, self).attr("__init__")();
                 self.attr("start_lr") = pykit::to_float(start_lr);
                 self.attr("target_lr") = pykit::to_float(target_lr);
                 self.attr("warmup_steps") = warmup_steps;
                 self.attr("total_steps") = total_steps;
                 self.attr("hold") = hold;
                 // The latest evaluation's values live in variables that start at 0: a tensor
                 // computed inside a graph function cannot be read back from another graph.
                 self.attr("_warmup_lr") = im->tf.attr("Variable")(0.0, py::arg("trainable") = false,
                                                                   py::arg("dtype") = im->float32);
                 self.attr("_learning_rate") = im->tf.attr("Variable")(0.0, py::arg("trainable") = false,
                                                                       py::arg("dtype") = im->float32);
             })
        .method(pykit::function("get_warmup", {arg("self")},
                                [](py::object self) -> py::object { return self.attr("_warmup_lr"); }),
                tf_function)
        .method(pykit::function("get_learning_rate", {arg("self")},
                                [](py::object self) -> py::object { return self.attr("_learning_rate"); }),
                tf_function)
        .method(
            pykit::function(
                "lr_warmup_cosine_decay",
                {arg("self"), arg("global_step"), arg("warmup_steps"), arg("hold").def(py::int_(0)),
                 arg("total_steps").def(py::int_(0)), arg("start_lr").def(py::float_(0.0)),
                 arg("target_lr").def(py::float_(0.001))},
                [im](py::object self, py::object global_step, py::object warmup_steps, py::object hold,
                     py::object total_steps, py::object /*start_lr: the floor reads self.start_lr*/,
                     py::object target_lr) {
                    auto c = [&](const py::object& v) { return im->cast(v, im->float32); };
                    // 0.5 * T * (1 + cos(pi * (s - W - H) / (N - W - H))), in this order.
                    py::object half_target = py::float_(0.5) * c(target_lr);
                    py::object progress = c(global_step) - c(warmup_steps) - c(hold);
                    py::object angle = im->tf.attr("constant")(im->np.attr("pi")) * progress;
                    angle = angle / (c(total_steps) - c(warmup_steps) - c(hold));
                    py::object learning_rate = half_target * (py::float_(1.0) + im->tf.attr("cos")(angle));

                    py::object warmup_lr = target_lr * (global_step / warmup_steps);
                    if (PyObject_RichCompareBool(hold.ptr(), py::int_(0).ptr(), Py_GT) == 1)
                        learning_rate = im->where(pykit::compare(global_step, warmup_steps + hold, Py_GT), learning_rate, target_lr);
                    else if (PyErr_Occurred())
                        throw py::error_already_set();
                    self.attr("_warmup_lr").attr("assign")(c(warmup_lr));
                    self.attr("_learning_rate").attr("assign")(c(learning_rate));

                    learning_rate = im->where(pykit::compare(global_step, warmup_steps, Py_LT), warmup_lr, learning_rate);
                    py::object floor = self.attr("start_lr");
                    return im->where(pykit::compare(learning_rate, floor, Py_LT), floor, learning_rate);
                }),
            tf_function)
        .method(pykit::function(
                    "__call__", {arg("self"), arg("step").ann(im->tf.attr("Tensor"))},
                    [im](py::object self, py::object step) {
                        py::object lr = self.attr("lr_warmup_cosine_decay")(
                            py::arg("global_step") = im->cast(step, im->float32),
                            py::arg("total_steps") = self.attr("total_steps"),
                            py::arg("warmup_steps") = im->cast(self.attr("warmup_steps"), im->float32),
                            py::arg("start_lr") = self.attr("start_lr"),
                            py::arg("target_lr") = self.attr("target_lr"), py::arg("hold") = self.attr("hold"));
                        return im->where(pykit::compare(step, self.attr("total_steps"), Py_GT), self.attr("start_lr"), lr,
                                         py::arg("name") = "learning_rate");
                    }),
                tf_function)
        .build(m, cls);
}
