// Validation: the evaluator pass over the validation batches and the metric bookkeeping
// (TensorBoard logger, DVC Live, MLflow, summary.csv).
#pragma once

#include "common.hpp"

namespace detection {

inline py::object run_validation_step(const Imports& im, const py::object& self, const py::object& loop,
                                      const py::object& evaluator, const py::object& epoch) {
    long counter = 0;
    bool add_image = true;
    py::dict instances, gt_instance, dt_instance;
    py::object truth_values;
    py::object all_rows = py::slice(py::none(), py::none(), py::none());
    py::int_ zero(0);

    for (py::handle element : loop) {
        std::vector<py::object> item = unpack(element, 3);
        py::object image = item[0].attr("numpy")()[zero];
        py::object boxes = item[1].attr("numpy")()[zero];
        py::object image_name = item[2].attr("numpy")()[zero].attr("decode")();

        py::object gt_boxes = boxes[py::make_tuple(all_rows, py::slice(py::int_(0), py::int_(4), py::none()))];
        py::object classes = self.attr("classes");
        py::list names;
        for (py::handle cls : boxes[py::make_tuple(all_rows, py::slice(py::int_(4), py::none(), py::none()))]) {
            PyObject* id = PyNumber_Long(py::reinterpret_borrow<py::object>(cls)[zero].ptr());
            if (!id) throw py::error_already_set();
            names.append(classes[py::reinterpret_steal<py::object>(id)]);
        }
        py::object gt_classes = im.np.attr("array")(names);
        std::vector<py::object> hwc = unpack(image.attr("shape"), 3);

        std::vector<py::object> detections = unpack(evaluator.attr("runner").attr("run_single_instance")(image), 3);

        gt_instance["image"] = image;
        gt_instance["height"] = hwc[0];
        gt_instance["width"] = hwc[1];
        gt_instance["boxes"] = gt_boxes;
        gt_instance["labels"] = gt_classes;
        gt_instance["image_path"] = image_name;
        dt_instance["boxes"] = detections[0];
        dt_instance["labels"] = detections[1];
        dt_instance["scores"] = detections[2];
        instances["gt_instance"] = gt_instance;
        instances["dt_instance"] = dt_instance;

        // Display quota: the first `display` samples; a negative quota displays every sample.
        py::object display = self.attr("display");
        if (holds(display, zero, Py_GE)) {
            if (holds(py::int_(counter), display, Py_LT)) {
                counter += 1;
                add_image = true;
            } else {
                add_image = false;
            }
        }
        truth_values = evaluator.attr("single_evaluation")(instances, epoch, py::bool_(add_image));
    }
    if (!truth_values)
        pykit::raise(PyExc_UnboundLocalError,
                     "cannot access local variable 'truth_values' where it is not associated with a value: "
                     "the validation data yielded no sample");

    py::object metrics = evaluator.attr("conclude")(truth_values, py::arg("epoch") = epoch);
    py::object metric = self.attr("metric");
    const char* family = pykit::equals(metric, py::str("acc")) ? "mACC"
                         : pykit::equals(metric, py::str("map")) ? "mAP"
                                                                  : "mAR";
    py::object val = get(get(metrics, family), "0.5");
    self.attr("save_model")(py::float_(val));
    return metrics;
}

// A learning rate (tensor, variable or number) as a plain Python float.
inline py::float_ plain_float(const py::object& lr) {
    if (py::hasattr(lr, "numpy")) return py::float_(lr.attr("numpy")());
    return py::float_(lr);
}

inline void write_summary_csv(const Imports& im, const py::object& self, const py::list& columns) {
    py::object summary_file_name = path_join(im, self.attr("checkpoint"), "summary.csv");
    try {
        write_replacing(im, summary_file_name, "", [&](const py::object& temp) {
            py::object f = im.builtins.attr("open")(temp, "w", py::arg("encoding") = "UTF8", py::arg("newline") = "");
            with(f, [&](py::object file) {
                py::object writer = im.csv.attr("DictWriter")(file, py::arg("fieldnames") = columns);
                writer.attr("writeheader")();
                writer.attr("writerows")(self.attr("summary_rows"));
            });
        });
    } catch (py::error_already_set& e) {
        // The file is held by another program; the row is kept and written next time.
        if (!e.matches(PyExc_PermissionError)) throw;
        pykit::print(
            "\t - [WARNING]: Error writing evaluation summary. Please close the file to allow Quillon to write "
            "metrics");
    }
}

inline void update_metrics(const Imports& im, const py::object& self, const py::object& metrics,
                           const py::object& losses, const py::object& epoch, const py::object& live) {
    static const char* const kFamilies[] = {"mAP", "mAR", "mACC"};
    static const char* const kThresholds[] = {"0.5", "0.75", "0.5:0.95"};
    static const char* const kLiveThresholds[] = {"0.50", "0.75", "0.50-0.95"};

    py::object OP = get(metrics, "OP"), OR = get(metrics, "OR"), OA = get(metrics, "OA");
    py::object values[3][3];  // [family][threshold]
    for (int f = 0; f < 3; ++f)
        for (int t = 0; t < 3; ++t) values[f][t] = get(get(metrics, kFamilies[f]), kThresholds[t]);

    py::object current_lr = self.attr("current_lr");
    py::object lr = py::isinstance(current_lr, im.tensor_type) ? current_lr.attr("numpy")() : current_lr;

    // DVC Live and MLflow names, in logging order: mACC, mAP, mAR.
    const int live_order[] = {2, 0, 1};
    auto live_name = [&](int f, int t) { return std::string(kFamilies[f]) + " " + kLiveThresholds[t]; };

    if (!live.is_none()) {
        for (int f : live_order)
            for (int t = 0; t < 3; ++t)
                live.attr("log_metric")(live_name(f, t), values[f][t], py::arg("plot") = false);
        live.attr("log_metric")("Overall ACC", OA);
        live.attr("log_metric")("Overall AP", OP);
        live.attr("log_metric")("Overall AR", OR);
        live.attr("log_metric")("Learning Rate", current_lr.attr("numpy")());
    }

    try {
        py::object mlflow = py::module_::import("mlflow");
        if (pykit::truthy(mlflow.attr("active_run")())) {
            py::dict logged;
            for (int f : live_order)
                for (int t = 0; t < 3; ++t) logged[py::str(live_name(f, t))] = values[f][t];
            logged["Overall ACC"] = OA;
            logged["Overall AP"] = OP;
            logged["Overall AR"] = OR;
            // MLflow takes numbers only: a constant rate is the optimizer's variable.
            logged["learning-rate"] = plain_float(lr);
            mlflow.attr("log_metrics")(logged, py::arg("step") = epoch);
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }

    py::dict summary;
    for (int f : {0, 2, 1})
        for (int t = 0; t < 3; ++t)
            summary[py::str(std::string(kFamilies[f]) + "@" + kThresholds[t])] = py::float_(values[f][t]);
    summary["Overall-ACC"] = py::float_(OA);
    summary["Overall-AP"] = py::float_(OP);
    summary["Overall-AR"] = py::float_(OR);

    self.attr("logger").attr("update_metrics")(summary, losses);

    py::list columns;
    columns.append("epoch");
    for (auto item : summary) columns.append(item.first);
    summary["epoch"] = epoch;
    self.attr("summary_rows").attr("append")(summary);
    write_summary_csv(im, self, columns);
}

}  // namespace detection
