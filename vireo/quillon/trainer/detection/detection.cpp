// vireo.quillon.trainer.detection: the training loop of a detection model.
#include <pykit.hpp>

#include "common.hpp"
#include "loop.hpp"
#include "model.hpp"
#include "saving.hpp"
#include "validation.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kTrainerDoc =
    "Trains an object-detection Keras model with a gradient-tape loop, validates it every few\n"
    "epochs and keeps a best and a last checkpoint.\n"
    "\n"
    "Args:\n"
    "    model (tf.keras.models.Model): the model to train; its first two outputs are training-only\n"
    "        heads, removed from every saved checkpoint.\n"
    "    dataset: the dataset object (kept for reference only).\n"
    "    optimizer: a Keras optimizer; its ``lr`` may be a learning-rate schedule.\n"
    "    loss: loss object whose ``compute_loss(targets, outputs)`` returns a dictionary of scalar\n"
    "        tensors holding at least ``\"total-loss\"``.\n"
    "    logger: TensorBoard logger with a ``writer`` and ``update_metrics(metrics, losses)``.\n"
    "    checkpoint (str): folder of ``best.h5``, ``last.h5``, ``config.json``, ``labels.txt``,\n"
    "        ``summary.csv`` and the ``validation`` results; created when missing.\n"
    "    info (dict): run configuration, written to ``config.json`` and logged to DVC Live.\n"
    "    metric (str): checkpoint metric at IoU 0.5: ``\"acc\"`` (mACC), ``\"map\"`` (mAP), any other\n"
    "        value mAR.\n"
    "    iou (float): IoU threshold for non-maximum suppression (kept for reference).\n"
    "    classes (list): class names indexed by class id; written to ``labels.txt``.\n"
    "    display (int): validation samples whose images are sent per evaluation; negative: all.\n"
    "    dvclive_output (str): DVC Live folder, or None to leave DVC Live off.\n"
    "    skip_validation_steps (int): validate in the epochs whose number is a multiple of this.\n"
    "    skip_initial_validation (bool): skip the validation before the first epoch.\n"
    "    activate_mlflow (bool): log checkpoints as artifacts of the active MLflow run.\n";

}  // namespace

PYBIND11_MODULE(detection, m) {
    auto imports = std::make_shared<detection::Imports>();
    detection::Imports& im = *imports;
    im.TrainingTensorBoardWriter = pykit::import_from("vireo.verdane.writers", "TrainingTensorBoardWriter");
    im.tqdm = pykit::import_from("tqdm", "tqdm");
    im.tf = py::module_::import("tensorflow");
    im.np = py::module_::import("numpy");
    im.json = py::module_::import("json");
    im.os = py::module_::import("os");
    im.time = py::module_::import("time");
    im.csv = py::module_::import("csv");
    im.QuillonTrainingCallback = pykit::import_from("vireo.quillon.callbacks", "QuillonTrainingCallback");

    im.builtins = py::module_::import("builtins");
    py::object keras = im.tf.attr("keras");
    im.schedule_type = keras.attr("optimizers").attr("schedules").attr("LearningRateSchedule");
    im.tensor_type = im.tf.attr("Tensor");
    im.model_type = keras.attr("models").attr("Model");
    detection::ImportsPtr ip = imports;

    py::object builtins = im.builtins;
    py::object dict_t = builtins.attr("dict"), int_t = builtins.attr("int"), float_t = builtins.attr("float");
    py::object tf_function = im.tf.attr("function");
    py::object model_t = im.model_type;
    py::object none = py::none();
    // Created once, with the class: every `train` without a handler shares this instance,
    // and every `update_metrics` call without dictionaries shares these two.
    py::object shared_handler = im.QuillonTrainingCallback();
    py::dict shared_metrics, shared_losses;

    pykit::ClassBuilder("vireo.quillon.trainer.detection", "DetectionTrainer")
        .doc(kTrainerDoc)
        .def("__init__",
             {arg("self"), arg("model"), arg("dataset"), arg("optimizer"), arg("loss"), arg("logger").def(py::str("out")),
              arg("checkpoint").def(py::str("out")), arg("info").def(none), arg("metric").def(py::str("acc")),
              arg("iou").def(py::float_(0.5)), arg("classes").def(none), arg("display").def(none),
              arg("dvclive_output").def(none), arg("skip_validation_steps").def(py::int_(1)),
              arg("skip_initial_validation").def(py::bool_(false)), arg("activate_mlflow").def(py::bool_(false))},
             [ip](pykit::Args& a) { detection::construct(*ip, a); })
        .method(pykit::function("preprocess_input", {arg("self"), arg("x").ann(im.tensor_type)},
                                [ip](py::object, py::object x) { return detection::preprocess_input(*ip, x); }),
                tf_function)
        .method(pykit::function("train_step", {arg("self"), arg("data")},
                                [ip](py::object self, py::object data) { return detection::train_step(*ip, self, data); }),
                tf_function)
        .def("remove_training_outputs", {arg("self"), arg("model").ann(model_t).def(none)},
             [ip](py::object self, py::object model) { return detection::remove_training_outputs(*ip, self, model); })
        .def("to_nchw", {arg("self"), arg("model").ann(model_t)},
             [ip](py::object, py::object model) { return detection::to_nchw(*ip, model); }, nullptr, model_t)
        .def("save_model", {arg("self"), arg("val").ann(float_t)},
             [ip](py::object self, py::object val) { detection::save_model(*ip, self, val); })
        .def("update_metrics",
             {arg("self"), arg("metrics").ann(dict_t).def(shared_metrics), arg("losses").ann(dict_t).def(shared_losses),
              arg("epoch").ann(int_t).def(py::int_(0)), arg("live").def(none)},
             [ip](py::object self, py::object metrics, py::object losses, py::object epoch, py::object live) {
                 detection::update_metrics(*ip, self, metrics, losses, epoch, live);
             })
        .def("run_validation_step", {arg("self"), arg("loop"), arg("evaluator"), arg("epoch")},
             [ip](py::object self, py::object loop, py::object evaluator, py::object epoch) {
                 return detection::run_validation_step(*ip, self, loop, evaluator, epoch);
             })
        .def("train",
             {arg("self"), arg("epochs").ann(int_t), arg("train_ds").def(none), arg("val_ds").def(none),
              arg("evaluator").def(none), arg("start").ann(int_t).def(py::int_(1)),
              arg("callback_handler").def(shared_handler)},
             [ip](pykit::Args& a) { detection::train(*ip, a); })
        .build(m);
}
