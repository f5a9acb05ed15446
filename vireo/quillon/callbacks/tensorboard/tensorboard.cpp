// vireo.quillon.callbacks.tensorboard: writes named training scalars to TensorBoard event files.
#include <pykit.hpp>

#include "logger.hpp"
#include "state.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kModule = "vireo.quillon.callbacks.tensorboard";

const char* const kLoggerDoc =
    "Writes training metrics and losses to TensorBoard event files in ``storage``.\n"
    "\n"
    "``metric_names`` acts as a filter: only the keys it lists are written, in its order, each as\n"
    "one scalar whose tag is the key, at the logger's own step counter ``global_step``.\n"
    "\n"
    "Args:\n"
    "    storage (str): log folder; created when missing.\n"
    "    metric_names (list): names of the values to write.\n"
    "\n"
    "Raises:\n"
    "    ValueError: when ``metric_names`` is None or empty.\n";

const char* const kInitDoc =
    "Creates the log folder when missing and a summary writer on it, and prints its path.\n"
    "\n"
    "Args:\n"
    "    storage (str): log folder.\n"
    "    metric_names (list): names of the values to write, in writing order.\n"
    "\n"
    "Raises:\n"
    "    ValueError: when ``metric_names`` is None or empty (before any folder is created).\n"
    "    TypeError: when ``storage`` is not a str or ``metric_names`` not a list.\n";

const char* const kUpdateDoc =
    "Writes one scalar per listed name at ``global_step``, then flushes and advances the step.\n"
    "\n"
    "For each name, a truthy value in ``metrics`` is written, else a truthy value in ``losses``;\n"
    "0, False and None are never written. Without ``metrics`` nothing is written, yet the step\n"
    "advances. With ``metric_names`` emptied after construction, a warning is issued instead\n"
    "and the step stays.\n"
    "\n"
    "Args:\n"
    "    metrics (dict): validation metrics, consulted first.\n"
    "    losses (dict): training losses, consulted when the metric is missing or falsy.\n"
    "\n"
    "Returns:\n"
    "    None.\n"
    "\n"
    "Raises:\n"
    "    TypeError: when ``metrics`` or ``losses`` is not exactly a dict (or None).\n"
    "    Errors of ``tf.summary.scalar`` (a value that is not a number) propagate; the step\n"
    "    then does not advance.\n";

const char* const kUploadImageDoc =
    "Writes one image summary at the caller's ``epoch`` (not ``global_step``).\n"
    "\n"
    "Args:\n"
    "    caption (str): the image's tag.\n"
    "    image (np.ndarray): one H x W x C image; a batch axis of 1 is added.\n"
    "    epoch (int): the step of the summary.\n"
    "\n"
    "Returns:\n"
    "    None.\n"
    "\n"
    "Raises:\n"
    "    TypeError: when ``caption`` is not a str.\n";

const char* const kRefreshDoc =
    "Flushes the summary writer.\n"
    "\n"
    "Returns:\n"
    "    None.\n";

}  // namespace

PYBIND11_MODULE(tensorboard, m) {
    auto context = pykit::make_context<tensorboard::State>();
    tensorboard::State& s = *context;
    s.np = pykit::import_module(m, "numpy", "np");
    s.tf = pykit::import_module(m, "tensorflow", "tf");
    s.warnings = pykit::import_module(m, "warnings", "warnings");
    s.os = pykit::import_module(m, "os", "os");
    // The ops update_metrics writes and flushes with (direct_writes.hpp).
    s.write_summary = s.tf.attr("raw_ops").attr("WriteSummary");
    s.flush_summary_writer = s.tf.attr("raw_ops").attr("FlushSummaryWriter");
    s.read_variable = s.tf.attr("raw_ops").attr("ReadVariableOp");
    // The thread-local record_if conditions (every thread's copy has both attributes); without
    // them every write asks TensorFlow.
    py::object state = pykit::import_optional("tensorflow.python.ops.summary_ops_v2", "_summary_state");
    if (state && py::hasattr(state, "is_recording") && py::hasattr(state, "is_recording_distribution_strategy"))
        s.summary_state = state;

    // Values of this exact class (the optimizer's learning rate) are read once per write
    // (logger.hpp).
    s.resource_variable = pykit::import_optional("tensorflow.python.ops.resource_variable_ops", "ResourceVariable");
    // Scalars of this exact class (the losses) are read without TensorFlow's Python-level
    // properties (direct_writes.hpp).
    py::object eager_tensor = pykit::import_optional("tensorflow.python.framework.ops", "EagerTensor");
    if (eager_tensor && py::hasattr(eager_tensor, "_rank") && py::hasattr(eager_tensor, "_numpy") &&
        py::hasattr(eager_tensor, "_datatype_enum"))
        s.eager_tensor = eager_tensor;

    py::object str_t = pykit::builtin("str"), list_t = pykit::builtin("list"), dict_t = pykit::builtin("dict");
    py::object int_t = pykit::builtin("int");

    pykit::ClassBuilder(kModule, "TensorBoard", py::tuple(), context.object)
        .doc(kLoggerDoc)
        .def("__init__", {arg("self"), arg("storage").ann(str_t), arg("metric_names").ann(list_t).def(py::none())},
             &tensorboard::construct, kInitDoc)
        .def("update_metrics",
             {arg("self"), arg("metrics").ann(dict_t).def(py::none()), arg("losses").ann(dict_t).def(py::none())},
             &tensorboard::update_metrics, kUpdateDoc)
        .def("upload_image",
             {arg("self"), arg("caption").ann(str_t), arg("image").ann(s.np.attr("ndarray")), arg("epoch").ann(int_t)},
             &tensorboard::upload_image, kUploadImageDoc)
        .def("refresh", {arg("self")}, &tensorboard::refresh, kRefreshDoc)
        .build(m);
}
