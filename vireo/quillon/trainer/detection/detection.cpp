// vireo.quillon.trainer.detection: the training loop of a detection model.
#include <pykit.hpp>

#include "common.hpp"
#include "construction.hpp"
#include "distribute.hpp"
#include "loop.hpp"
#include "model.hpp"
#include "saving.hpp"
#include "state.hpp"
#include "step.hpp"
#include "validation.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kModule = "vireo.quillon.trainer.detection";

const char* const kTrainerDoc =
    "Trains an object-detection Keras model with a gradient-tape loop, validates it every few\n"
    "epochs and keeps a best and a last checkpoint.\n"
    "\n"
    "Args:\n"
    "    model (tf.keras.models.Model): the model to train. Its first two outputs are training-only\n"
    "        heads, removed from every saved checkpoint; it needs at least one more output.\n"
    "    dataset: the dataset object (kept for reference only).\n"
    "    optimizer: a Keras optimizer; its ``lr`` may be a learning-rate schedule.\n"
    "    loss: loss object whose ``compute_loss(targets, outputs)`` returns a dictionary of scalar\n"
    "        tensors holding at least ``\"total-loss\"``.\n"
    "    logger: TensorBoard logger with a ``writer`` and ``update_metrics(metrics, losses)``.\n"
    "    checkpoint (str): folder of ``best.h5``, ``last.h5``, ``config.json``, ``labels.txt``,\n"
    "        ``summary.csv`` and the ``validation`` results; created when missing.\n"
    "    info (dict): run configuration, written to ``config.json`` and logged to DVC Live.\n"
    "    metric (str): checkpoint metric at IoU 0.5: ``\"acc\"`` (mACC), ``\"map\"`` (mAP), any other\n"
    "        value mAR (a value other than ``\"mar\"`` is warned about).\n"
    "    iou (float): IoU threshold for non-maximum suppression (kept for reference).\n"
    "    classes (list): class names indexed by class id; written to ``labels.txt``.\n"
    "    display (int): validation samples whose images are sent per evaluation; negative: all;\n"
    "        None or 0: none.\n"
    "    dvclive_output (str): DVC Live folder, or None to leave DVC Live off.\n"
    "    skip_validation_steps (int): validate in the epochs whose number is a multiple of this.\n"
    "    skip_initial_validation (bool): skip the validation before the first epoch.\n"
    "    activate_mlflow (bool): log checkpoints as artifacts of the active MLflow run.\n";

const char* const kInitDoc =
    "Stores the collaborators, creates the checkpoint folder and writes ``config.json`` and,\n"
    "with classes, ``labels.txt``. Temporaries that an interrupted save left in the folder are\n"
    "removed.\n"
    "\n"
    "Args:\n"
    "    See the class documentation.\n"
    "\n"
    "Raises:\n"
    "    ValueError: when the model has fewer than three outputs.\n"
    "    AttributeError: when the logger has no ``writer`` (nothing is written then).\n"
    "    TypeError: when ``classes`` has no length (after ``config.json`` is written), or\n"
    "        ``info`` cannot be serialised to JSON.\n";

const char* const kPreprocessDoc =
    "Scales an image batch to float32 in 0..1 (a graph function).\n"
    "\n"
    "Args:\n"
    "    x (tf.Tensor): images of any numeric type in the range 0..255.\n"
    "\n"
    "Returns:\n"
    "    tf.Tensor: ``tf.cast(x, tf.float32) / 255.0``.\n";

const char* const kTrainStepDoc =
    "Runs one gradient step on one batch (a graph function, traced on the first call).\n"
    "\n"
    "The gradient is taken of the loss's ``\"total-loss\"`` plus the model's regularisation\n"
    "losses; the latter is reported on its own as ``\"L2-loss\"``.\n"
    "\n"
    "Args:\n"
    "    data (tuple): the image batch, then the target tensors handed to ``compute_loss``.\n"
    "\n"
    "Returns:\n"
    "    dict: the loss dictionary of ``compute_loss``, with ``\"L2-loss\"`` added.\n"
    "\n"
    "Raises:\n"
    "    ValueError: when the batch does not fit the model's input (the shapes are named).\n"
    "    ReferenceError: when the trainer was released before the call (TensorFlow binds the\n"
    "        method through a weak reference; keep the trainer in a variable).\n";

const char* const kRemoveOutputsDoc =
    "Builds the inference model: the model's input and all but its first two outputs.\n"
    "\n"
    "Args:\n"
    "    model (tf.keras.models.Model): the model to rewrite; None: the trainer's model.\n"
    "\n"
    "Returns:\n"
    "    tf.keras.models.Model: a new, uncompiled model sharing the layers.\n";

const char* const kToNchwDoc =
    "Wraps a channels-last model for channels-first input.\n"
    "\n"
    "Args:\n"
    "    model (tf.keras.models.Model): a model with one 4-D (N, H, W, C) input. A single\n"
    "        output is transposed to channels-first; of several outputs, the 4-D ones are.\n"
    "\n"
    "Returns:\n"
    "    tf.keras.models.Model: a model taking (N, C, H, W) input.\n"
    "\n"
    "Raises:\n"
    "    ValueError: when the model's input is not four-dimensional.\n";

const char* const kSaveModelDoc =
    "Writes ``last.h5`` and, when ``val`` ties or beats the best value so far, ``best.h5``.\n"
    "\n"
    "Each file holds the inference model (without the two training heads, channels-first when\n"
    "``NCHW`` is set), uncompiled, and replaces the previous file only once it is completely\n"
    "written. Temporaries that an interrupted save left in the folder are removed first.\n"
    "\n"
    "Args:\n"
    "    val (float): the checkpoint metric; -1.0 (or less) saves ``last.h5`` only, silently.\n"
    "\n"
    "Raises:\n"
    "    TypeError: when ``val`` is not a number.\n"
    "    ImportError: when ``activate_mlflow`` is set and MLflow is not installed.\n"
    "    OSError: when a file cannot be written (the previous file is kept).\n";

const char* const kUpdateMetricsDoc =
    "Records one validation's metrics: DVC Live, the active MLflow run, the TensorBoard logger\n"
    "and ``summary.csv`` (one row per validation so far).\n"
    "\n"
    "Args:\n"
    "    metrics (dict): the evaluator's metrics: ``OP``, ``OR``, ``OA`` and the dictionaries\n"
    "        ``mAP``, ``mAR``, ``mACC`` keyed ``\"0.5\"``, ``\"0.75\"``, ``\"0.5:0.95\"``.\n"
    "    losses (dict): the last training batch's losses, written to TensorBoard beside.\n"
    "    epoch (int): the epoch number of the row.\n"
    "    live: the DVC Live run, or None.\n"
    "\n"
    "Raises:\n"
    "    TypeError: when ``metrics`` or ``losses`` is not exactly a dict (or None), or a value\n"
    "        is not a number.\n"
    "    AttributeError: when a metric family is missing.\n";

const char* const kValidationStepDoc =
    "Evaluates the first sample of each validation batch and saves the checkpoints by the\n"
    "chosen metric.\n"
    "\n"
    "Args:\n"
    "    loop: iterable of ``(image, boxes, names)`` batches.\n"
    "    evaluator: the evaluator (``runner.run_single_instance``, ``single_evaluation``,\n"
    "        ``conclude``).\n"
    "    epoch (int): the epoch number handed to the evaluator.\n"
    "\n"
    "Returns:\n"
    "    dict: the metrics returned by ``evaluator.conclude``.\n"
    "\n"
    "Raises:\n"
    "    UnboundLocalError: when the loop yields no sample.\n"
    "    ValueError: when an element does not unpack into three items.\n"
    "    IndexError: when a class id is outside ``classes``.\n";

const char* const kTrainDoc =
    "Runs a training run: an initial validation, then per epoch the training batches, a\n"
    "validation every ``skip_validation_steps`` epochs and a ``last.h5`` checkpoint, notifying\n"
    "the callback handler at each stage.\n"
    "\n"
    "A model built in a tf.distribute strategy's scope trains on every replica: each batch of\n"
    "``train_ds`` is a global batch that the replicas share, the losses handed on are those of\n"
    "the global batch, and only the chief writes files (other workers write into temporary\n"
    "folders that they remove). See docs/distribute.md.\n"
    "\n"
    "Args:\n"
    "    epochs (int): last epoch number (inclusive).\n"
    "    train_ds: iterable of training tuples ``(images, *targets)``, iterated once per epoch.\n"
    "    val_ds: iterable of validation batches ``(image, boxes, names)``.\n"
    "    evaluator: the evaluator, or None for no validation at all. It is called once with\n"
    "        ``val_messenger`` and ``labels`` before the first validation.\n"
    "    start (int): first epoch number.\n"
    "    callback_handler (QuillonTrainingCallback): notified at each stage; the default is one\n"
    "        handler shared by every call.\n"
    "\n"
    "Returns:\n"
    "    None.\n"
    "\n"
    "Raises:\n"
    "    ZeroDivisionError: when ``skip_validation_steps`` is 0 and an evaluator is given.\n"
    "    TypeError: when ``train_ds`` is not iterable; under a strategy, when it is not a\n"
    "        ``tf.data.Dataset`` (or a dataset the strategy distributed).\n"
    "    ValueError: under a strategy, when a batch leaves a replica without samples.\n"
    "    Any error of a callback, the evaluator, the datasets or the file system ends the run\n"
    "    and propagates; ``on_train_end`` is then not called.\n";

const char* const kRestoreDoc =
    "Loads the latest training state of the checkpoint folder, so that training goes on exactly\n"
    "where the run that wrote it stopped.\n"
    "\n"
    "Every epoch end writes the state to ``<checkpoint>/state/`` (the last two are kept): the whole\n"
    "model, training heads included; the optimizer, slots and step count, so a learning-rate\n"
    "schedule goes on; the epoch, ``best_value``, ``summary_rows`` and the logger's step. Restoring\n"
    "it sets all of these, rewrites ``summary.csv`` from the restored rows, and drops what the\n"
    "stopped run wrote after that state: TensorBoard points (so no step number appears twice)\n"
    "and half-written state files. The next ``train`` then skips the validation before the first\n"
    "epoch (the restored rows hold it), resumes the DVC Live run at its next step, and logs to the\n"
    "MLflow run that is active. ``best.h5`` is replaced only by a model that beats the restored\n"
    "best value. Prints one line saying what was restored.\n"
    "\n"
    "Example:\n"
    "\n"
    "```python\n"
    "trainer = DetectionTrainer(model, dataset, optimizer, loss, logger, checkpoint=\"out\", ...)\n"
    "trainer.train(epochs, train_ds, val_ds, evaluator, start=trainer.restore())\n"
    "```\n"
    "\n"
    "``epochs`` may be larger than the stopped run's.\n"
    "\n"
    "Returns:\n"
    "    int: the epoch to start from: the restored epoch + 1, or 1 when the folder holds no\n"
    "    state (nothing is changed then).\n"
    "\n"
    "Raises:\n"
    "    ValueError: when the state was written for a model or optimizer of another architecture,\n"
    "        for another ``metric``, or by a newer version; the trainer is left as it was.\n";

}  // namespace

PYBIND11_MODULE(detection, m) {
    auto context = pykit::make_context<detection::State>();
    detection::State& s = *context;
    s.TrainingTensorBoardWriter = pykit::import_name(m, "vireo.verdane.writers", "TrainingTensorBoardWriter");
    s.tqdm = pykit::import_name(m, "tqdm", "tqdm");
    s.tf = pykit::import_module(m, "tensorflow", "tf");
    s.np = pykit::import_module(m, "numpy", "np");
    s.json = pykit::import_module(m, "json", "json");
    s.os = pykit::import_module(m, "os", "os");
    s.time = pykit::import_module(m, "time", "time");
    s.csv = pykit::import_module(m, "csv", "csv");
    s.QuillonTrainingCallback = pykit::import_name(m, "vireo.quillon.callbacks", "QuillonTrainingCallback");

    py::object keras = s.tf.attr("keras");
    s.schedule_type = keras.attr("optimizers").attr("schedules").attr("LearningRateSchedule");
    s.tensor_type = s.tf.attr("Tensor");
    s.model_type = keras.attr("models").attr("Model");
    // The optimizer's learning rate, when of this exact class, is read with one op per step (loop.hpp).
    s.resource_variable = pykit::import_optional("tensorflow.python.ops.resource_variable_ops", "ResourceVariable");
    s.read_variable = s.tf.attr("raw_ops").attr("ReadVariableOp");
    // The progress bar formats a loss of this exact class through its own accessors (loop.hpp).
    py::object eager_tensor = pykit::import_optional("tensorflow.python.framework.ops", "EagerTensor");
    if (eager_tensor && py::hasattr(eager_tensor, "_prefer_custom_summarizer") && py::hasattr(eager_tensor, "_numpy") &&
        py::hasattr(eager_tensor, "_datatype_enum"))
        s.eager_tensor = eager_tensor;
    s.unbuilt_metrics_filter = pykit::function("keep_log_record", {arg("record")}, &detection::keep_log_record);
    s.replica_train_step = pykit::function("replica_train_step", {arg("self"), arg("data")},
                                           &detection::replica_train_step, nullptr, {}, context.object);
    s.distributed_train_step = pykit::function("distributed_train_step", {arg("self"), arg("data")},
                                               &detection::distributed_train_step, nullptr, {}, context.object);
    s.distributed_next_step = pykit::function("distributed_next_step", {arg("self"), arg("iterator")},
                                              &detection::distributed_next_step, nullptr, {}, context.object);

    py::object dict_t = pykit::builtin("dict"), int_t = pykit::builtin("int"), float_t = pykit::builtin("float");
    py::object tf_function = s.tf.attr("function");
    py::object model_t = s.model_type;
    py::object none = py::none();
    // Created once, with the class: every `train` without a handler shares this instance,
    // and every `update_metrics` call without dictionaries shares these two.
    py::object shared_handler = s.QuillonTrainingCallback();
    py::dict shared_metrics, shared_losses;

    pykit::ClassBuilder(kModule, "DetectionTrainer", py::tuple(), context.object)
        .doc(kTrainerDoc)
        .def("__init__",
             {arg("self"), arg("model"), arg("dataset"), arg("optimizer"), arg("loss"), arg("logger").def(py::str("out")),
              arg("checkpoint").def(py::str("out")), arg("info").def(none), arg("metric").def(py::str("acc")),
              arg("iou").def(py::float_(0.5)), arg("classes").def(none), arg("display").def(none),
              arg("dvclive_output").def(none), arg("skip_validation_steps").def(py::int_(1)),
              arg("skip_initial_validation").def(py::bool_(false)), arg("activate_mlflow").def(py::bool_(false))},
             &detection::construct, kInitDoc)
        .def_wrapped(tf_function, "preprocess_input", {arg("self"), arg("x").ann(s.tensor_type)},
                     &detection::preprocess_input, kPreprocessDoc)
        .def_wrapped(tf_function, "train_step", {arg("self"), arg("data")}, &detection::train_step, kTrainStepDoc)
        .def("remove_training_outputs", {arg("self"), arg("model").ann(model_t).def(none)},
             &detection::remove_training_outputs, kRemoveOutputsDoc)
        .def("to_nchw", {arg("self"), arg("model").ann(model_t)}, &detection::to_nchw, kToNchwDoc, model_t)
        .def("save_model", {arg("self"), arg("val").ann(float_t)}, &detection::save_model, kSaveModelDoc)
        .def("update_metrics",
             {arg("self"), arg("metrics").ann(dict_t).def(shared_metrics), arg("losses").ann(dict_t).def(shared_losses),
              arg("epoch").ann(int_t).def(py::int_(0)), arg("live").def(none)},
             &detection::update_metrics, kUpdateMetricsDoc)
        .def("run_validation_step", {arg("self"), arg("loop"), arg("evaluator"), arg("epoch")},
             &detection::run_validation_step, kValidationStepDoc)
        .def("train",
             {arg("self"), arg("epochs").ann(int_t), arg("train_ds").def(none), arg("val_ds").def(none),
              arg("evaluator").def(none), arg("start").ann(int_t).def(py::int_(1)),
              arg("callback_handler").def(shared_handler)},
             &detection::train, kTrainDoc)
        .def("restore", {arg("self")}, &detection::restore, kRestoreDoc)
        .build(m);
}
