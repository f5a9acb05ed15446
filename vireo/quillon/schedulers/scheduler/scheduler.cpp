// vireo.quillon.schedulers.scheduler: the warm-up, hold and cosine-decay learning rate.
#include <pykit.hpp>

#include "schedule.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kModule = "vireo.quillon.schedulers.scheduler";

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

const char* const kInitDoc =
    "Stores the schedule's parameters.\n"
    "\n"
    "Args:\n"
    "    start_lr (float): floor of the schedule and its value after ``total_steps``.\n"
    "    target_lr (float): peak rate, reached at the end of the warm-up.\n"
    "    warmup_steps (int): number of steps of the linear warm-up (stored unchanged).\n"
    "    total_steps (int): step after which the rate is ``start_lr`` (stored unchanged).\n"
    "    hold (int): number of steps spent at ``target_lr`` after the warm-up (stored unchanged).\n"
    "\n"
    "Raises:\n"
    "    TypeError: when ``start_lr`` or ``target_lr`` is not a number, or a step count is neither\n"
    "        a number nor a tensor.\n"
    "    ValueError: when a rate or a step count is NaN or infinite.\n";

const char* const kGetWarmupDoc =
    "The warm-up line's value at the latest evaluation (a graph function).\n"
    "\n"
    "Returns:\n"
    "    tf.Variable: float32, 0 before the first evaluation.\n";

const char* const kGetLearningRateDoc =
    "The hold or decay value at the latest evaluation, before the warm-up choice and the floor\n"
    "(a graph function).\n"
    "\n"
    "Returns:\n"
    "    tf.Variable: float32, 0 before the first evaluation.\n";

const char* const kFormulaDoc =
    "Computes the rate before the end-of-schedule rule (a graph function).\n"
    "\n"
    "Args:\n"
    "    global_step: the step, as a float32 tensor.\n"
    "    warmup_steps: length of the warm-up, as a float32 tensor.\n"
    "    hold (int): steps at ``target_lr`` after the warm-up; tested with ``> 0`` when traced.\n"
    "    total_steps (int): step at which the cosine reaches 0.\n"
    "    start_lr (float): accepted and not read: the floor is the attribute ``start_lr``.\n"
    "    target_lr (float): peak rate.\n"
    "\n"
    "Returns:\n"
    "    tf.Tensor: float32 scalar, the rate floored at ``self.start_lr``.\n";

const char* const kCallDoc =
    "The learning rate at ``step``.\n"
    "\n"
    "Args:\n"
    "    step (tf.Tensor): the step count (any integer or float dtype), usually\n"
    "        ``optimizer.iterations``. A plain number is converted to a tensor first, so that\n"
    "        eager calls with Python ints share one traced graph.\n"
    "\n"
    "Returns:\n"
    "    tf.Tensor: float32 scalar, made by the select operation named ``learning_rate``.\n";

const char* const kRateDoc =
    "The graph function behind ``__call__``: the rate at a step tensor.\n"
    "\n"
    "Args:\n"
    "    step (tf.Tensor): the step count (any integer or float dtype).\n"
    "\n"
    "Returns:\n"
    "    tf.Tensor: float32 scalar, made by the select operation named ``learning_rate``.\n";

const char* const kGetConfigDoc =
    "The schedule's configuration, for Keras' model and optimizer saving.\n"
    "\n"
    "Returns:\n"
    "    dict: ``start_lr``, ``target_lr``, ``warmup_steps``, ``total_steps`` and ``hold``;\n"
    "    ``WarmUpCosineDecay.from_config(config)`` (or ``WarmUpCosineDecay(**config)``) builds\n"
    "    an equal schedule.\n";

}  // namespace

PYBIND11_MODULE(scheduler, m) {
    auto context = pykit::make_context<scheduler::State>();
    scheduler::State& s = *context;
    s.tf = pykit::import_module(m, "tensorflow", "tf");
    s.np = pykit::import_module(m, "numpy", "np");
    s.cast = s.tf.attr("cast");
    s.float32 = s.tf.attr("float32");
    s.where = s.tf.attr("where");
    s.is_tensor = s.tf.attr("is_tensor");
    s.np_integer = s.np.attr("integer");
    s.np_floating = s.np.attr("floating");

    py::object tf_function = s.tf.attr("function");
    py::object base = s.tf.attr("keras").attr("optimizers").attr("schedules").attr("LearningRateSchedule");
    py::object float_t = pykit::builtin("float"), int_t = pykit::builtin("int");

    pykit::ClassBuilder(kModule, "WarmUpCosineDecay", py::make_tuple(base), context.object)
        .doc(kScheduleDoc)
        .def("__init__",
             {arg("self"), arg("start_lr").ann(float_t), arg("target_lr").ann(float_t), arg("warmup_steps").ann(int_t),
              arg("total_steps").ann(int_t), arg("hold").ann(int_t)},
             &scheduler::construct, kInitDoc)
        .def_wrapped(tf_function, "get_warmup", {arg("self")}, &scheduler::get_warmup, kGetWarmupDoc)
        .def_wrapped(tf_function, "get_learning_rate", {arg("self")}, &scheduler::get_learning_rate,
                     kGetLearningRateDoc)
        .def_wrapped(tf_function, "lr_warmup_cosine_decay",
                     {arg("self"), arg("global_step"), arg("warmup_steps"), arg("hold").def(py::int_(0)),
                      arg("total_steps").def(py::int_(0)), arg("start_lr").def(py::float_(0.0)),
                      arg("target_lr").def(py::float_(0.001))},
                     &scheduler::lr_warmup_cosine_decay, kFormulaDoc)
        .def("__call__", {arg("self"), arg("step").ann(s.tf.attr("Tensor"))}, &scheduler::call, kCallDoc)
        .def_wrapped(tf_function, "_rate_at_step", {arg("self"), arg("step").ann(s.tf.attr("Tensor"))},
                     &scheduler::rate_at_step, kRateDoc)
        .def("get_config", {arg("self")}, &scheduler::get_config, kGetConfigDoc)
        .build(m, s.WarmUpCosineDecay);
}
