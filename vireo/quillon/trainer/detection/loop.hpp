// The training loop: DVC Live set-up, validations, epochs of graph steps, checkpoints and
// callback notifications. Each stage is a function of its own:
//
//   train ─ start_dvclive
//         ├ run_validation (epoch 0)
//         ├ run_epoch ─ train_epoch ─ run_training_step (per batch)
//         │           ├ run_validation (when due)
//         │           └ save_model(-1.0)
//         └ finish_training
#pragma once

#include "common.hpp"
#include "distribute.hpp"
#include "state.hpp"

namespace detection {

// What one `train` call works with, and the loop variables carried from epoch to epoch.
struct TrainingRun {
    py::object self;
    py::object train_ds, val_ds, evaluator, handler;
    py::object validation_folder;
    py::object live;              // the DVC Live run, or None
    py::object losses, metrics;  // the last batch's losses and the latest validation's metrics
    Distribution distribution;    // one device, or the replicas of the model's strategy
};

// "md" on a CI machine (CI set, and not "false" or "0"), else "html"; DVC_REPORT wins.
inline py::object dvclive_report(const State& s) {
    py::object environ = s.os.attr("environ");
    py::object report = environ.attr("get")("DVC_REPORT", py::none());
    if (!report.is_none()) return report;
    py::object ci = environ.attr("get")("CI");
    const bool md = !ci.is_none() && !pykit::equals(ci, py::str("false")) && !pykit::equals(ci, py::str("0"));
    return py::str(md ? "md" : "html");
}

// The DVC Live run of `dvclive_output`, with the run's configuration as parameters; None when
// DVC Live is off.
inline py::object start_dvclive(const State& s, const py::object& self) {
    py::object dvclive_output = self.attr("dvclive_output");
    if (dvclive_output.is_none() || !is_chief(self.attr("model"))) return py::none();
    py::object report = dvclive_report(s);
    py::object Live = pykit::import_from("dvclive", "Live");
    // A restored run goes on in the same DVC Live run.
    py::dict resume;
    if (resumes_dvclive(self)) resume["resume"] = true;
    py::object live = Live(dvclive_output, py::arg("save_dvc_exp") = true, py::arg("report") = report, **resume);
    live.attr("log_params")(self.attr("info"));
    continue_dvclive(s, self, live);
    return live;
}

// One validation pass and its records. `losses` is the last batch's dictionary; without one
// (the initial validation) update_metrics uses its shared default. Returns the metrics.
inline py::object run_validation(const State& s, const TrainingRun& run, const py::object& epoch,
                                 const py::object& losses) {
    const py::object& self = run.self;
    py::object loop = s.tqdm(run.val_ds, py::arg("desc") = "Running Validation", py::arg("leave") = true,
                             py::arg("colour") = "green", py::arg("bar_format") = kBarFormat);
    run.handler.attr("on_evaluation_start")();
    py::object metrics = self.attr("run_validation_step")(py::arg("loop") = loop, py::arg("evaluator") = run.evaluator,
                                                          py::arg("epoch") = epoch);
    run.handler.attr("on_evaluaiton_end")(py::arg("metrics") = metrics);
    if (losses)
        self.attr("update_metrics")(metrics, losses, py::arg("epoch") = epoch, py::arg("live") = run.live);
    else
        self.attr("update_metrics")(metrics, py::arg("epoch") = epoch, py::arg("live") = run.live);
    run.evaluator.attr("save_plots_disk")(py::arg("plots") = run.evaluator.attr("current_plots"),
                                          py::arg("path") = run.validation_folder);
    write_text(path_join(s, run.validation_folder, "results.txt"), run.evaluator.attr("current_summary"));
    return metrics;
}

// `epoch % skip_validation_steps == 0`, with a clear message for a zero interval.
inline bool validation_due(const py::object& epoch, const py::object& steps) {
    PyObject* r = PyNumber_Remainder(epoch.ptr(), steps.ptr());
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_ZeroDivisionError)) throw py::error_already_set();
        PyErr_Clear();
        pykit::raise(PyExc_ZeroDivisionError,
                     "DetectionTrainer.train: skip_validation_steps is 0; it must be a positive number of epochs");
    }
    return pykit::equals(py::reinterpret_steal<py::object>(r), py::int_(0));
}

// `lr.numpy()`. A plain resource variable, when running eagerly, is read with the read op
// alone: numpy() reads it through read_value(), two ops and layers of Python, and right after
// a step each op and each Python layer runs with cold caches. Same value either way.
inline py::object learning_rate_number(const State& s, const py::object& lr) {
    if (s.resource_variable && py::type::of(lr).is(s.resource_variable) && pykit::truthy(s.tf.attr("executing_eagerly")()))
        return s.read_variable(py::arg("resource") = lr.attr("handle"), py::arg("dtype") = lr.attr("dtype"))
            .attr("numpy")();
    return lr.attr("numpy")();
}

// What format() of `value` formats: for an eager float tensor, the NumPy value its __format__
// would format, read through the tensor's own accessors (right after a step TensorFlow's
// Python-level dtype property runs with cold caches); anything else as it is.
inline py::object formatted_value(const State& s, const py::object& value) {
    if (!s.eager_tensor || !py::type::of(value).is(s.eager_tensor)) return value;
    if (pykit::truthy(value.attr("_prefer_custom_summarizer")())) return value;
    const long dtype = value.attr("_datatype_enum")().cast<long>();  // float32, float64, bfloat16, float16
    if (dtype != 1 && dtype != 2 && dtype != 14 && dtype != 19) return value;
    return value.attr("_numpy")();
}

// One batch: the graph step, timed; the learning rate re-read; the callbacks, the progress
// bar and the logger told. Returns the batch's losses.
inline py::object run_training_step(const State& s, const TrainingRun& run, const py::object& loop,
                                    const py::object& data, long batch_id) {
    const py::object& self = run.self;
    run.handler.attr("on_step_start")(py::arg("step") = batch_id);
    py::object time = s.time.attr("time");
    py::object started = time();
    py::object losses = run.distribution.step ? run_distributed_step(s, run.distribution, data)
                                              : py::object(self.attr("train_step")(data));
    py::object step_time = time() - started;

    self.attr("current_lr") = current_learning_rate(s, self.attr("optimizer"));
    py::object lr = self.attr("current_lr");
    run.handler.attr("on_step_end")(py::arg("losses") = losses, py::arg("lr") = lr);
    py::object postfix = pykit::format("loss: {:.3f}   lr: {:.6f} step-time: {:.6f}",
                                       formatted_value(s, get(losses, "total-loss")), learning_rate_number(s, lr),
                                       step_time);
    // The bar shows the new postfix at its next redraw, which tqdm times itself (every 0.1 s,
    // and at the epoch's end); a redraw per batch would cost a tenth of a millisecond each.
    loop.attr("set_postfix")(py::arg("values") = postfix, py::arg("refresh") = false);
    losses[py::str("step-time (seconds)")] = step_time;
    losses[py::str("learning-rate")] = lr;
    self.attr("logger").attr("update_metrics")(py::dict(), losses);
    return losses;
}

// Every batch of one epoch; run.losses ends as the last batch's losses (unchanged when the
// dataset yields no batch).
inline void train_epoch(const State& s, TrainingRun& run, const py::object& epoch) {
    py::object loop = s.tqdm(run.train_ds, py::arg("desc") = percent("Epoch %d", epoch), py::arg("leave") = true,
                             py::arg("bar_format") = kBarFormat, py::arg("colour") = "green",
                             py::arg("total") = run.distribution.batches);
    start_distributed_epoch(run.distribution);
    long batch_id = 0;
    for (py::handle data : loop) {
        run.losses = run_training_step(s, run, loop, py::reinterpret_borrow<py::object>(data), batch_id);
        ++batch_id;
    }
}

// One epoch: its batches, the validation when due, the last.h5 checkpoint, the callbacks.
inline void run_epoch(const State& s, TrainingRun& run, const py::object& epoch) {
    const py::object& self = run.self;
    run.handler.attr("on_epoch_start")(py::arg("epoch") = epoch);
    train_epoch(s, run, epoch);
    if (!run.evaluator.is_none() && validation_due(epoch, self.attr("skip_validation_steps")))
        run.metrics = run_validation(s, run, epoch, run.losses);
    self.attr("save_model")(-1.0);
    as_this_worker(s, self, [&] { write_training_state(s, self, epoch, run.live); });
    run.handler.attr("on_model_save")(self.attr("model"));
    if (!run.live.is_none()) run.live.attr("next_step")();
    run.handler.attr("on_epoch_end")(py::arg("losses") = run.losses, py::arg("metrics") = run.metrics);
}

inline void finish_training(const TrainingRun& run) {
    if (!run.live.is_none()) {
        pykit::print("\t - [INFO] Ending DVCLive session");
        run.live.attr("end")();
    }
    run.handler.attr("on_train_end")();
}

// DetectionTrainer.train(self, epochs, train_ds=None, val_ds=None, evaluator=None, start=1,
// callback_handler=<shared QuillonTrainingCallback>)
inline void train(const State& s, const py::object& self, const py::object& epochs, const py::object& train_ds,
                  const py::object& val_ds, const py::object& evaluator, const py::object& start,
                  const py::object& callback_handler) {
    WorkerFoldersRemoval worker_folders(s, self);
    TrainingRun run{self, train_ds, val_ds, evaluator, callback_handler};
    run.distribution = prepare_distribution(s, self, train_ds);
    run.train_ds = run.distribution.dataset;
    announce_earlier_run(self, start);
    run.validation_folder = path_join(s, write_folder(s, self), "validation");
    if (!path_exists(s, run.validation_folder)) s.os.attr("makedirs")(run.validation_folder);
    run.live = start_dvclive(s, self);

    callback_handler.attr("on_train_start")(py::arg("epochs") = epochs);
    if (!evaluator.is_none()) {
        evaluator(py::arg("val_messenger") = self.attr("val_messenger"), py::arg("labels") = self.attr("classes"));
        // A restored run validated before its first epoch already (the row is in summary_rows).
        if (!pykit::truthy(self.attr("skip_initial_validation")) && !resumed(self))
            run_validation(s, run, py::int_(0), py::object());
    }
    // The initial validation's metrics are not carried into the epochs.
    run.losses = py::dict();
    run.metrics = py::dict();

    for (py::handle epoch : pykit::builtin("range")(start, epochs + py::int_(1)))
        run_epoch(s, run, py::reinterpret_borrow<py::object>(epoch));
    finish_training(run);
}

}  // namespace detection
