// The training loop: DVC Live set-up, validations, epochs of graph steps, checkpoints and
// callback notifications.
#pragma once

#include "common.hpp"

namespace detection {

// "md" on a CI machine (CI set, and not "false" or "0"), else "html"; DVC_REPORT wins.
inline py::object dvclive_report(const Imports& im) {
    py::object environ = im.os.attr("environ");
    py::object report = environ.attr("get")("DVC_REPORT", py::none());
    if (!report.is_none()) return report;
    py::object ci = environ.attr("get")("CI");
    const bool md = !ci.is_none() && !pykit::equals(ci, py::str("false")) && !pykit::equals(ci, py::str("0"));
    return py::str(md ? "md" : "html");
}

// One validation pass; `update` records its metrics. Returns the metrics.
template <class Update>
py::object validate(const Imports& im, const py::object& self, const py::object& val_ds, const py::object& evaluator,
                    const py::object& handler, const py::object& validation_folder, const py::object& epoch,
                    Update update) {
    py::object loop = im.tqdm(val_ds, py::arg("desc") = "Running Validation", py::arg("leave") = true,
                              py::arg("colour") = "green", py::arg("bar_format") = kBarFormat);
    handler.attr("on_evaluation_start")();
    py::object metrics =
        self.attr("run_validation_step")(py::arg("loop") = loop, py::arg("evaluator") = evaluator, py::arg("epoch") = epoch);
    handler.attr("on_evaluaiton_end")(py::arg("metrics") = metrics);
    update(metrics);
    evaluator.attr("save_plots_disk")(py::arg("plots") = evaluator.attr("current_plots"),
                                      py::arg("path") = validation_folder);
    py::object summary = evaluator.attr("current_summary");
    write_text(im, path_join(im, validation_folder, "results.txt"), summary);
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

inline void train(const Imports& im, pykit::Args& a) {
    const py::object &self = a[0], &epochs = a[1], &train_ds = a[2], &val_ds = a[3], &evaluator = a[4],
                     &start = a[5], &handler = a[6];

    py::object validation_folder = path_join(im, self.attr("checkpoint"), "validation");
    if (!path_exists(im, validation_folder)) im.os.attr("makedirs")(validation_folder);

    py::object live = py::none();
    py::object dvclive_output = self.attr("dvclive_output");
    if (!dvclive_output.is_none()) {
        py::object report = dvclive_report(im);
        py::object Live = pykit::import_from("dvclive", "Live");
        live = Live(dvclive_output, py::arg("save_dvc_exp") = true, py::arg("report") = report);
        live.attr("log_params")(self.attr("info"));
    }

    handler.attr("on_train_start")(py::arg("epochs") = epochs);
    const bool has_evaluator = !evaluator.is_none();
    if (has_evaluator) evaluator(py::arg("val_messenger") = self.attr("val_messenger"), py::arg("labels") = self.attr("classes"));

    if (has_evaluator && !pykit::truthy(self.attr("skip_initial_validation"))) {
        // No losses yet: update_metrics falls back to its shared default.
        validate(im, self, val_ds, evaluator, handler, validation_folder, py::int_(0), [&](const py::object& metrics) {
            self.attr("update_metrics")(metrics, py::arg("epoch") = 0, py::arg("live") = live);
        });
    }
    py::object losses = py::dict();
    py::object metrics = py::dict();

    py::object time_fn = im.time.attr("time");
    for (py::handle epoch_handle : im.builtins.attr("range")(start, epochs + py::int_(1))) {
        py::object epoch = py::reinterpret_borrow<py::object>(epoch_handle);
        handler.attr("on_epoch_start")(py::arg("epoch") = epoch);
        py::object loop = im.tqdm(train_ds, py::arg("desc") = percent("Epoch %d", epoch), py::arg("leave") = true,
                                  py::arg("bar_format") = kBarFormat, py::arg("colour") = "green");
        long batch_id = 0;
        for (py::handle data : loop) {
            handler.attr("on_step_start")(py::arg("step") = batch_id);
            py::object started = time_fn();
            losses = self.attr("train_step")(data);
            py::object step_time = time_fn() - started;

            self.attr("current_lr") = current_learning_rate(im, self.attr("optimizer"));
            py::object lr = self.attr("current_lr");
            handler.attr("on_step_end")(py::arg("losses") = losses, py::arg("lr") = lr);
            py::object postfix = pykit::format("loss: {:.3f}   lr: {:.6f} step-time: {:.6f}", get(losses, "total-loss"),
                                               lr.attr("numpy")(), step_time);
            loop.attr("set_postfix")(py::arg("values") = postfix);
            losses[py::str("step-time (seconds)")] = step_time;
            losses[py::str("learning-rate")] = lr;
            self.attr("logger").attr("update_metrics")(py::dict(), losses);
            ++batch_id;
        }

        if (has_evaluator && validation_due(epoch, self.attr("skip_validation_steps"))) {
            metrics = validate(im, self, val_ds, evaluator, handler, validation_folder, epoch,
                               [&](const py::object& m) {
                                   self.attr("update_metrics")(m, losses, py::arg("epoch") = epoch,
                                                               py::arg("live") = live);
                               });
        }
        self.attr("save_model")(-1.0);
        handler.attr("on_model_save")(self.attr("model"));
        if (!live.is_none()) live.attr("next_step")();
        handler.attr("on_epoch_end")(py::arg("losses") = losses, py::arg("metrics") = metrics);
    }

    if (!live.is_none()) {
        pykit::print("\t - [INFO] Ending DVCLive session");
        live.attr("end")();
    }
    handler.attr("on_train_end")();
}

}  // namespace detection
