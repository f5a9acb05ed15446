// Validation: the evaluator pass over the validation batches and the metric bookkeeping
// (TensorBoard logger, DVC Live, MLflow, summary.csv).
#pragma once

#include <string>
#include <vector>

#include "common.hpp"
#include "distribute.hpp"
#include "files.hpp"

namespace detection {

// --- run_validation_step ------------------------------------------------------------------------

// The ground truth and detections of one validation element, put into the three dictionaries
// that every sample reuses. Only the first sample of the batch is evaluated.
inline void fill_instances(const State& s, const py::object& self, const py::object& evaluator,
                           const py::handle& element, py::dict& instances, py::dict& gt_instance,
                           py::dict& dt_instance) {
    const py::int_ zero(0);
    const py::slice all_rows{py::none(), py::none(), py::none()};
    std::vector<py::object> item = pykit::unpack(element, 3);
    py::object image = item[0].attr("numpy")()[zero];
    py::object boxes = item[1].attr("numpy")()[zero];
    py::object image_name = item[2].attr("numpy")()[zero].attr("decode")();

    py::object gt_boxes = boxes[py::make_tuple(all_rows, py::slice(py::int_(0), py::int_(4), py::none()))];
    // Class ids become names: `self.classes[int(cls[0])]` for each row.
    py::object classes = self.attr("classes");
    py::list names;
    for (py::handle cls : boxes[py::make_tuple(all_rows, py::slice(py::int_(4), py::none(), py::none()))])
        names.append(classes[pykit::as_int(py::reinterpret_borrow<py::object>(cls)[zero])]);
    py::object gt_classes = s.np.attr("array")(names);
    std::vector<py::object> hwc = pykit::unpack(image.attr("shape"), 3);

    std::vector<py::object> detections = pykit::unpack(evaluator.attr("runner").attr("run_single_instance")(image), 3);

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
}

// Display quota: the first `display` samples of a pass are displayed; a negative quota
// displays every sample, None none (as 0). `counter` counts the samples displayed so far.
inline bool display_next(const py::object& display, long& counter, bool add_image) {
    const py::object quota = display.is_none() ? py::object(py::int_(0)) : display;
    if (!pykit::holds(quota, py::int_(0), Py_GE)) return add_image;
    if (!pykit::holds(py::int_(counter), quota, Py_LT)) return false;
    counter += 1;
    return true;
}

// The metric the best checkpoint follows, at IoU 0.5: exactly "acc" → mACC, exactly "map" →
// mAP, anything else → mAR.
inline py::object checkpoint_value(const py::object& metrics, const py::object& metric) {
    const char* family = pykit::equals(metric, py::str("acc"))   ? "mACC"
                         : pykit::equals(metric, py::str("map")) ? "mAP"
                                                                 : "mAR";
    return get(get(metrics, family), "0.5");
}

// DetectionTrainer.run_validation_step(self, loop, evaluator, epoch) -> the metrics.
inline py::object run_validation_step(const State& s, const py::object& self, const py::object& loop,
                                      const py::object& evaluator, const py::object& epoch) {
    long counter = 0;
    bool add_image = true;
    py::dict instances, gt_instance, dt_instance;
    py::object truth_values;
    for (py::handle element : loop) {
        fill_instances(s, self, evaluator, element, instances, gt_instance, dt_instance);
        add_image = display_next(self.attr("display"), counter, add_image);
        truth_values = evaluator.attr("single_evaluation")(instances, epoch, py::bool_(add_image));
    }
    if (!truth_values)
        pykit::raise(PyExc_UnboundLocalError,
                     "cannot access local variable 'truth_values' where it is not associated with a value: "
                     "the validation data yielded no sample");

    py::object metrics = evaluator.attr("conclude")(truth_values, py::arg("epoch") = epoch);
    self.attr("save_model")(pykit::as_float(checkpoint_value(metrics, self.attr("metric"))));
    return metrics;
}

// --- update_metrics -------------------------------------------------------------------------------

inline const char* const kFamilies[] = {"mAP", "mAR", "mACC"};
inline const char* const kThresholds[] = {"0.5", "0.75", "0.5:0.95"};
inline const char* const kLiveThresholds[] = {"0.50", "0.75", "0.50-0.95"};
// Family order of the DVC Live and MLflow names (mACC, mAP, mAR) and of the summary row
// (mAP, mACC, mAR), as indices into kFamilies.
inline const int kLiveOrder[] = {2, 0, 1};
inline const int kSummaryOrder[] = {0, 2, 1};

// The twelve numbers read from the evaluator's metrics.
struct MetricValues {
    py::object OP, OR, OA;
    py::object family[3][3];  // [kFamilies index][kThresholds index]
};

inline MetricValues read_metrics(const py::object& metrics) {
    MetricValues v;
    v.OP = get(metrics, "OP");
    v.OR = get(metrics, "OR");
    v.OA = get(metrics, "OA");
    for (int f = 0; f < 3; ++f)
        for (int t = 0; t < 3; ++t) v.family[f][t] = get(get(metrics, kFamilies[f]), kThresholds[t]);
    return v;
}

inline py::str live_name(int f, int t) { return py::str(std::string(kFamilies[f]) + " " + kLiveThresholds[t]); }

inline void log_to_dvclive(const py::object& live, const MetricValues& v, const py::object& current_lr) {
    for (int f : kLiveOrder)
        for (int t = 0; t < 3; ++t) live.attr("log_metric")(live_name(f, t), v.family[f][t], py::arg("plot") = false);
    live.attr("log_metric")("Overall ACC", v.OA);
    live.attr("log_metric")("Overall AP", v.OP);
    live.attr("log_metric")("Overall AR", v.OR);
    live.attr("log_metric")("Learning Rate", current_lr.attr("numpy")());
}

// A learning rate (tensor, variable or number) as a plain Python float: MLflow takes numbers.
inline py::float_ plain_float(const py::object& lr) {
    if (py::hasattr(lr, "numpy")) return pykit::as_float(lr.attr("numpy")());
    return pykit::as_float(lr);
}

// Logs to the active MLflow run, if any; a missing MLflow is no error here.
inline void log_to_mlflow(const MetricValues& v, const py::object& lr, const py::object& epoch) {
    try {
        py::object mlflow = py::module_::import("mlflow");
        if (!pykit::truthy(mlflow.attr("active_run")())) return;
        py::dict logged;
        for (int f : kLiveOrder)
            for (int t = 0; t < 3; ++t) logged[live_name(f, t)] = v.family[f][t];
        logged["Overall ACC"] = v.OA;
        logged["Overall AP"] = v.OP;
        logged["Overall AR"] = v.OR;
        logged["learning-rate"] = plain_float(lr);
        mlflow.attr("log_metrics")(logged, py::arg("step") = epoch);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
}

// The summary row: the twelve values, each converted with float().
inline py::dict summary_row(const MetricValues& v) {
    py::dict summary;
    for (int f : kSummaryOrder)
        for (int t = 0; t < 3; ++t)
            summary[py::str(std::string(kFamilies[f]) + "@" + kThresholds[t])] = pykit::as_float(v.family[f][t]);
    summary["Overall-ACC"] = pykit::as_float(v.OA);
    summary["Overall-AP"] = pykit::as_float(v.OP);
    summary["Overall-AR"] = pykit::as_float(v.OR);
    return summary;
}

// Rewrites summary.csv with every row so far. A file held by another program (PermissionError)
// is reported and skipped: the rows are kept and written next time.
inline void write_summary_csv(const State& s, const py::object& self, const py::list& columns) {
    py::object summary_file_name = path_join(s, write_folder(s, self), "summary.csv");
    try {
        TemporaryFile temporary(s, summary_file_name, "");
        py::object f = pykit::builtin("open")(temporary.path(), "w", py::arg("encoding") = "UTF8", py::arg("newline") = "");
        pykit::with(f, [&](const py::object& file) {
            py::object writer = s.csv.attr("DictWriter")(file, py::arg("fieldnames") = columns);
            writer.attr("writeheader")();
            writer.attr("writerows")(self.attr("summary_rows"));
        });
        temporary.commit();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_PermissionError)) throw;
        pykit::print(
            "\t - [WARNING]: Error writing evaluation summary. Please close the file to allow Quillon to write "
            "metrics");
    }
}

// DetectionTrainer.update_metrics(self, metrics={}, losses={}, epoch=0, live=None)
inline void update_metrics(const State& s, const py::object& self, const py::object& metrics,
                           const py::object& losses, const py::object& epoch, const py::object& live) {
    const MetricValues values = read_metrics(metrics);
    py::object current_lr = self.attr("current_lr");
    py::object lr = py::isinstance(current_lr, s.tensor_type) ? current_lr.attr("numpy")() : current_lr;

    if (!live.is_none()) log_to_dvclive(live, values, current_lr);
    if (is_chief(self.attr("model"))) log_to_mlflow(values, lr, epoch);

    py::dict summary = summary_row(values);
    self.attr("logger").attr("update_metrics")(summary, losses);

    py::list columns;
    columns.append("epoch");
    for (auto item : summary) columns.append(item.first);
    summary["epoch"] = epoch;
    self.attr("summary_rows").attr("append")(summary);
    write_summary_csv(s, self, columns);
}

}  // namespace detection
