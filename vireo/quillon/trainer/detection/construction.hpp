// DetectionTrainer.__init__: the model and metric checks, the attributes, and the files the
// constructor writes (config.json, labels.txt).
#pragma once

#include "common.hpp"
#include "distribute.hpp"
#include "files.hpp"
#include "state.hpp"

namespace detection {

// The trainer's convention: outputs 0 and 1 are training-only heads that every saved
// checkpoint drops; a model needs at least one more to leave anything in best.h5 and last.h5.
inline void check_model_outputs(const py::object& model) {
    py::object outputs = model.attr("outputs");
    const size_t count = outputs.is_none() ? 0 : pykit::len(outputs);
    if (count >= 3) return;
    pykit::raise(PyExc_ValueError,
                 "[ERROR]: DetectionTrainer needs a model with at least three outputs, this one has " +
                     std::to_string(count) +
                     ". The first two outputs are training-only heads that every saved checkpoint drops "
                     "(best.h5 and last.h5 keep outputs 2 and later), so a model with fewer would be saved "
                     "without any output.");
}

// `metric` chooses the checkpoint metric: exactly "acc" or "map", anything else tracks recall.
// A value other than the three names is probably a typo ("mAP"), so it is pointed out once.
inline void warn_about_metric(const py::object& metric) {
    for (const char* known : {"acc", "map", "mar"})
        if (pykit::equals(metric, py::str(known))) return;
    pykit::warn(pykit::format("DetectionTrainer: metric {!r} is not one of 'acc', 'map', 'mar' (the names are "
                              "case-sensitive); the best checkpoint will track mAR@0.5, the mean recall.",
                              metric));
}

// Creates the optimizer's variables (step count, slots) for the model's weights now, outside
// any graph. Keras creates them in the first apply_gradients, inside the first train_step
// trace; when that first call fails (a batch of the wrong shape), tf.function refuses to
// create them in any later trace, and the trainer could never train again.
inline void build_optimizer_state(const State& s, const py::object& optimizer, const py::object& model) {
    py::object optimizers = s.tf.attr("keras").attr("optimizers");
    py::object variables = model.attr("trainable_variables");
    if (py::isinstance(optimizer, optimizers.attr("Optimizer")))
        optimizer.attr("build")(variables);
    else if (py::isinstance(optimizer, optimizers.attr("legacy").attr("Optimizer")))
        optimizer.attr("_create_all_weights")(variables);  // what its apply_gradients does first
}

// `with open(<checkpoint>/labels.txt, "w") as f:` one class name per line.
inline void write_labels(const State& s, const py::object& checkpoint, const py::object& classes) {
    pykit::with(pykit::builtin("open")(path_join(s, checkpoint, "labels.txt"), "w"), [&](const py::object& f) {
        for (py::handle cls : classes) f.attr("write")(pykit::format("{}\n", cls));
    });
}

// The checkpoint folder exists, without temporaries left by a killed run.
inline void prepare_checkpoint_folder(const State& s, const py::object& checkpoint) {
    if (!path_exists(s, checkpoint)) s.os.attr("makedirs")(checkpoint, py::arg("exist_ok") = true);
    remove_stale_temporaries(s, checkpoint);
}

// config.json and, with classes, labels.txt.
inline void write_run_files(const State& s, const py::object& self) {
    py::object checkpoint = self.attr("checkpoint");
    // Serialised before the file is opened, so a non-serialisable `info` leaves no empty file.
    py::object config = s.json.attr("dumps")(self.attr("info"), py::arg("indent") = 4);
    write_text(path_join(s, checkpoint, "config.json"), config);

    py::object classes = self.attr("classes");
    if (pykit::len(classes) > 0) write_labels(s, checkpoint, classes);
}

// DetectionTrainer.__init__(self, model, dataset, optimizer, loss, logger, checkpoint, info,
// metric, iou, classes, display, dvclive_output, skip_validation_steps,
// skip_initial_validation, activate_mlflow)
inline void construct(const State& s, const py::object& self, const py::object& model, const py::object& dataset,
                      const py::object& optimizer, const py::object& loss, const py::object& logger,
                      const py::object& checkpoint, const py::object& info, const py::object& metric,
                      const py::object& iou, const py::object& classes, const py::object& display,
                      const py::object& dvclive_output, const py::object& skip_validation_steps,
                      const py::object& skip_initial_validation, const py::object& activate_mlflow) {
    check_model_outputs(model);
    warn_about_metric(metric);

    self.attr("dvclive_output") = dvclive_output;
    self.attr("info") = info;
    self.attr("model") = model;
    self.attr("metric") = metric;
    self.attr("dataset") = dataset;
    self.attr("optimizer") = optimizer;
    self.attr("loss") = loss;
    self.attr("logger") = logger;
    self.attr("evaluator") = py::none();

    // A logger without a summary writer fails here, before anything touches the disk. A worker
    // other than the chief has its logger write into a temporary folder first.
    redirect_worker_logger(s, model, logger);
    self.attr("val_messenger") = s.TrainingTensorBoardWriter(logger.attr("writer"));

    self.attr("best_value") = py::float_(0.0);
    self.attr("iou") = iou;
    self.attr("classes") = classes;
    self.attr("display") = display;
    self.attr("NCHW") = py::bool_(false);
    self.attr("activate_mlflow") = activate_mlflow;
    self.attr("current_lr") = current_learning_rate(s, optimizer);
    in_model_scope(s, model, [&] { build_optimizer_state(s, optimizer, model); });

    self.attr("checkpoint") = checkpoint;
    prepare_checkpoint_folder(s, checkpoint);
    self.attr("best") = path_join(s, checkpoint, "best.h5");
    self.attr("last") = path_join(s, checkpoint, "last.h5");
    note_earlier_run(s, self);
    self.attr("summary_rows") = py::list();
    self.attr("skip_validation_steps") = skip_validation_steps;
    self.attr("skip_initial_validation") = skip_initial_validation;
    if (is_chief(model)) write_run_files(s, self);

    pykit::print(percent("\t - Saving best iteration checkpoint at : %s", self.attr("best")));
    pykit::print(percent("\t - Saving last iteration checkpoint at : %s", self.attr("last")));
}

}  // namespace detection
