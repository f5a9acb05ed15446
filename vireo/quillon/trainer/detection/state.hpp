// The training state: everything a stopped run needs to go on exactly where it stopped.
//
// At every epoch end, after last.h5, write_training_state saves it to <checkpoint>/state/ with
// TensorFlow's checkpoint machinery (tf.train.Checkpoint + CheckpointManager, the last two
// kept): the whole model (training heads included), the optimizer (slots and step count, so a
// learning-rate schedule goes on), and the run's bookkeeping as variables beside them. The
// manager updates its index file atomically after the data files are complete, so a kill at
// any moment leaves the previous state loadable.
//
// restore() loads the latest state into the trainer and clears away what the stopped run wrote
// after it: TensorBoard points, DVC Live rows (when train resumes DVC Live), half-written state
// files. A fresh run on a folder that holds an earlier one says what it overwrites.
#pragma once

#include <string>
#include <vector>

#include "common.hpp"
#include "files.hpp"
#include "validation.hpp"

namespace detection {

// The layout of the bookkeeping variables below; raised when a change makes old states unreadable.
inline const long kStateFormat = 1;

// The bookkeeping saved beside the model and the optimizer, one tf.Variable each (their names
// in the tf.train.Checkpoint are the keys of the state, see the README, "Resume a stopped run").
struct StateValues {
    py::object format;        // int64: kStateFormat
    py::object epoch;         // int64: the epoch just finished
    py::object best_value;    // float64: the best checkpoint value so far
    py::object metric;        // string: the trainer's `metric`, which best_value measures
    py::object summary_rows;  // string: the summary rows (one per validation) as JSON
    py::object logger_step;   // int64: the TensorBoard logger's next step, -1 without one
    py::object dvclive_step;  // int64: DVC Live's next step, -1 without DVC Live
    py::object saved_at;      // float64: time.time() of the save
};

inline py::object state_variable(const State& s, const py::object& value, const char* dtype) {
    return s.tf.attr("Variable")(value, py::arg("dtype") = s.tf.attr(dtype), py::arg("trainable") = false);
}

inline StateValues empty_state_values(const State& s) {
    StateValues v;
    v.format = state_variable(s, py::int_(0), "int64");
    v.epoch = state_variable(s, py::int_(0), "int64");
    v.best_value = state_variable(s, py::float_(0.0), "float64");
    v.metric = state_variable(s, py::str(""), "string");
    v.summary_rows = state_variable(s, py::str("[]"), "string");
    v.logger_step = state_variable(s, py::int_(-1), "int64");
    v.dvclive_step = state_variable(s, py::int_(-1), "int64");
    v.saved_at = state_variable(s, py::float_(0.0), "float64");
    return v;
}

// The tf.train.Checkpoint of the trainer's model and optimizer with the bookkeeping `v`.
inline py::object training_checkpoint(const State& s, const py::object& self, const StateValues& v) {
    py::dict items;
    items["model"] = self.attr("model");
    items["optimizer"] = self.attr("optimizer");
    items["format"] = v.format;
    items["epoch"] = v.epoch;
    items["best_value"] = v.best_value;
    items["metric"] = v.metric;
    items["summary_rows"] = v.summary_rows;
    items["logger_step"] = v.logger_step;
    items["dvclive_step"] = v.dvclive_step;
    items["saved_at"] = v.saved_at;
    return s.tf.attr("train").attr("Checkpoint")(**items);
}

inline py::object state_folder(const State& s, const py::object& self) {
    return path_join(s, self.attr("checkpoint"), "state");
}

// The path prefix of the latest complete state in the trainer's folder, or None.
inline py::object latest_state(const State& s, const py::object& self) {
    return s.tf.attr("train").attr("latest_checkpoint")(state_folder(s, self));
}

// The epoch of a state path ".../ckpt-<epoch>": states are numbered by their epoch.
inline py::int_ state_epoch(const py::object& path) {
    py::str name = pykit::as_str(path);
    return pykit::as_int(name.attr("rsplit")("-", 1)[py::int_(1)]);
}

// --- writing ------------------------------------------------------------------------------------

// A summary value as JSON stores it: numbers a caller passed as NumPy scalars (an `epoch` of
// update_metrics) become Python ints and floats, anything else its text.
inline py::object plain_value(const py::object& value) {
    PyObject* p = value.ptr();
    if (value.is_none() || PyBool_Check(p) || PyLong_Check(p) || PyFloat_Check(p) || PyUnicode_Check(p)) return value;
    if (PyIndex_Check(p)) return pykit::as_int(value);
    if (PyNumber_Check(p)) return pykit::as_float(value);
    return pykit::as_str(value);
}

// `json.dumps(self.summary_rows)`, every row's key order kept.
inline py::object summary_rows_json(const State& s, const py::object& self) {
    py::list rows;
    for (py::handle row : pykit::as_list(self.attr("summary_rows"))) {
        py::dict plain;
        for (py::handle item : pykit::as_list(row.attr("items")())) {
            std::vector<py::object> key_value = pykit::unpack(item, 2);
            plain[key_value[0]] = plain_value(key_value[1]);
        }
        rows.append(plain);
    }
    return s.json.attr("dumps")(rows);
}

// Whether an integer fits the state's int64 variables.
inline bool fits_int64(const py::int_& value) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (PyErr_Occurred()) throw py::error_already_set();
    return overflow == 0;
}

// The logger's next step (its public `global_step`); -1 (nothing to restore) for a logger
// without a whole-number step.
inline py::int_ logger_step(const py::object& logger) {
    py::object step = py::getattr(logger, "global_step", py::none());
    if (step.is_none() || !PyIndex_Check(step.ptr())) return py::int_(-1);
    py::int_ value = pykit::as_int(step);
    return fits_int64(value) ? value : py::int_(-1);
}

// Writes the training state of the epoch just finished to <checkpoint>/state/ (the last two
// kept). Called at every epoch end after last.h5; `live` is the DVC Live run or None.
inline void write_training_state(const State& s, const py::object& self, const py::object& epoch,
                                 const py::object& live) {
    py::int_ number = pykit::as_int(epoch);
    if (!fits_int64(number)) {
        pykit::print(pykit::format("\t - [WARNING]: epoch {} is beyond the training state's 64-bit epoch counter; no "
                                   "state is written for it",
                                   number));
        return;
    }
    py::object logger = self.attr("logger");
    // What the logger has written up to here is on disk before the state says so.
    if (py::hasattr(logger, "writer")) logger.attr("writer").attr("flush")();

    StateValues v = empty_state_values(s);
    v.format.attr("assign")(py::int_(kStateFormat));
    v.epoch.attr("assign")(number);
    v.best_value.attr("assign")(pykit::as_float(self.attr("best_value")));
    v.metric.attr("assign")(pykit::as_str(self.attr("metric")));
    v.summary_rows.attr("assign")(summary_rows_json(s, self));
    v.logger_step.attr("assign")(logger_step(logger));
    // DVC Live moves to the next step right after this save.
    py::int_ dvclive_step = live.is_none() ? py::int_(-1) : py::int_(pykit::as_int(live.attr("step")) + py::int_(1));
    v.dvclive_step.attr("assign")(fits_int64(dvclive_step) ? dvclive_step : py::int_(-1));
    v.saved_at.attr("assign")(s.time.attr("time")());

    py::object checkpoint;
    try {
        checkpoint = training_checkpoint(s, self, v);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        // A model or optimizer TensorFlow cannot track (a stand-in object): training goes on
        // without states, which is said once.
        if (!pykit::truthy(py::getattr(self, "_state_refused", py::bool_(false))))
            pykit::print(pykit::format("\t - [WARNING]: No training state is written, so this run cannot be "
                                       "restored: {}",
                                       py::str(e.value()).attr("strip")()));
        self.attr("_state_refused") = true;
        return;
    }

    py::object folder = state_folder(s, self);
    // A fresh run on a folder holding an earlier run's state replaces it with its own first one,
    // so that a later restore() never mixes the two runs.
    if (!py::getattr(self, "_earlier_run", py::none()).is_none()) {
        if (path_exists(s, folder)) s.tf.attr("io").attr("gfile").attr("rmtree")(folder);
        self.attr("_earlier_run") = py::none();
    }
    py::object manager =
        s.tf.attr("train").attr("CheckpointManager")(checkpoint, folder, py::arg("max_to_keep") = 2);
    manager.attr("save")(py::arg("checkpoint_number") = number);
}

// --- a fresh run on a used folder ---------------------------------------------------------------

// Constructor: notes what an earlier run left in the checkpoint folder (best.h5, last.h5,
// summary.csv, a training state), for the notice of the first `train` and the state's
// replacement at the first epoch end; nothing when the folder holds neither best.h5 nor a state.
inline void note_earlier_run(const State& s, const py::object& self) {
    self.attr("restored_epoch") = py::int_(0);
    self.attr("_earlier_run") = py::none();
    py::object state = latest_state(s, self);
    const bool has_best = path_exists(s, self.attr("best"));
    if (!has_best && state.is_none()) return;

    py::list found;
    if (has_best) found.append("best.h5");
    if (path_exists(s, self.attr("last"))) found.append("last.h5");
    if (path_exists(s, path_join(s, self.attr("checkpoint"), "summary.csv"))) found.append("summary.csv");
    if (!state.is_none()) found.append(pykit::format("the training state of epoch {}", state_epoch(state)));
    // "best.h5", "best.h5 and last.h5", "best.h5, last.h5 and summary.csv", ...
    py::object what = found[py::int_(-1)];
    if (pykit::len(found) > 1)
        what = pykit::format("{} and {}", py::str(", ").attr("join")(found[py::slice(0, -1, 1)]), what);
    py::dict earlier;
    earlier["what"] = what;
    earlier["state"] = py::bool_(!state.is_none());
    self.attr("_earlier_run") = earlier;
}

// train(): one line before a fresh run (not restored) on a folder holding an earlier run.
inline void announce_earlier_run(const py::object& self, const py::object& start) {
    py::object earlier = py::getattr(self, "_earlier_run", py::none());
    if (earlier.is_none()) return;
    const char* advice = pykit::truthy(earlier["state"])
                             ? "to continue that run instead, train with "
                               "trainer.train(epochs, train_ds, val_ds, evaluator, start=trainer.restore())"
                             : "it has no training state to continue from; to keep its files, use another "
                               "checkpoint folder";
    pykit::print(pykit::format("\t - [WARNING]: {} holds an earlier run ({}). This run starts anew at epoch {} and "
                               "overwrites them; {}",
                               self.attr("checkpoint"), earlier["what"], start, advice));
}

// Whether restore() loaded a state into this trainer: train then goes on from it (no
// validation before the first epoch, DVC Live resumed).
inline bool resumed(const py::object& self) {
    return pykit::holds(py::getattr(self, "restored_epoch", py::int_(0)), py::int_(0), Py_GT);
}

// Whether train resumes the DVC Live run of the restored state (it had DVC Live on).
inline bool resumes_dvclive(const py::object& self) {
    return resumed(self) && pykit::holds(py::getattr(self, "_dvclive_step", py::int_(-1)), py::int_(0), Py_GE);
}

// --- restoring ----------------------------------------------------------------------------------

// The values of every variable a checkpoint restores into, to put back when a restore fails
// half-way (TensorFlow assigns variable by variable): a refused state leaves the trainer as it was.
class VariableSnapshot {
public:
    VariableSnapshot(const State& s, const py::object& checkpoint) {
        py::object variable_type = s.tf.attr("Variable");
        for (py::handle node : s.tf.attr("train").attr("TrackableView")(checkpoint).attr("descendants")())
            if (py::isinstance(node, variable_type))
                saved_.emplace_back(py::reinterpret_borrow<py::object>(node), node.attr("read_value")());
    }
    void put_back() const {
        for (const auto& [variable, value] : saved_) variable.attr("assign")(value);
    }

private:
    std::vector<std::pair<py::object, py::object>> saved_;
};

[[noreturn]] inline void refuse_state(const py::object& path, const py::str& why) {
    pykit::raise(PyExc_ValueError,
                 pykit::format("[ERROR]: The training state {} cannot be restored into this trainer: {}", path, why));
}

// Restores model, optimizer and bookkeeping from `path` into the trainer's objects and `v`;
// anything that does not fit puts every variable back and raises a ValueError naming the state.
inline void load_state(const State& s, const py::object& self, const py::object& path, const StateValues& v) {
    py::object checkpoint;
    try {
        checkpoint = training_checkpoint(s, self, v);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        refuse_state(path, py::str(e.value()).attr("strip")());
    }
    VariableSnapshot snapshot(s, checkpoint);
    try {
        checkpoint.attr("restore")(path).attr("assert_consumed")();
    } catch (py::error_already_set& e) {
        snapshot.put_back();
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_AssertionError)) throw;
        refuse_state(path, pykit::format("it was written for a model or optimizer of another architecture ({}). "
                                         "Build the trainer with the model and optimizer of that run to continue it, "
                                         "or use another checkpoint folder.",
                                         py::str(e.value()).attr("strip")()));
    }
    const long format = pykit::as_int(v.format.attr("numpy")()).cast<long>();
    py::str metric = pykit::as_str(v.metric.attr("numpy")().attr("decode")());
    if (format > kStateFormat) {
        snapshot.put_back();
        refuse_state(path, pykit::format("it has format {}, newer than the {} this version reads.", format,
                                         kStateFormat));
    }
    if (!pykit::equals(metric, pykit::as_str(self.attr("metric")))) {
        snapshot.put_back();
        refuse_state(path, pykit::format("its best value measures the metric {!r}, this trainer's metric is {!r}. "
                                         "Build the trainer with metric={!r} to continue that run.",
                                         metric, self.attr("metric"), metric));
    }
}

// The process id in a TensorFlow event file name ("events.out.tfevents.<time>.<host>.<pid>.
// <n>.v2"), -1 for a name of another form.
inline long long event_file_writer(const std::string& name) {
    const std::string suffix = ".v2";
    if (name.rfind("events.out.tfevents.", 0) != 0 || name.size() < suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return -1;
    const std::string stem = name.substr(0, name.size() - suffix.size());
    const size_t counter = stem.rfind('.');
    if (counter == std::string::npos || counter == 0) return -1;
    const size_t pid_start = stem.rfind('.', counter - 1);
    if (pid_start == std::string::npos) return -1;
    const std::string pid = stem.substr(pid_start + 1, counter - pid_start - 1);
    if (pid.empty() || pid.size() > 18 || pid.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(pid);
}

// Rewrites one event file without the summaries written after `saved_at` (and without a record
// cut short by a kill). Returns the number of summaries dropped.
inline long drop_late_summaries(const State& s, const py::object& path, const py::object& saved_at) {
    py::object Event = s.tf.attr("compat").attr("v1").attr("Event");
    py::list kept;
    long dropped = 0;
    bool cut = false;
    try {
        for (py::handle record : s.tf.attr("data").attr("TFRecordDataset")(path)) {
            py::object bytes = record.attr("numpy")();
            py::object event = Event.attr("FromString")(bytes);
            const bool late = pykit::truthy(event.attr("HasField")("summary")) &&
                              pykit::holds(event.attr("wall_time"), saved_at, Py_GT);
            if (late)
                ++dropped;
            else
                kept.append(bytes);
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(s.tf.attr("errors").attr("DataLossError"))) throw;
        cut = true;  // the last record was cut short: what came before is kept
    }
    if (dropped == 0 && !cut) return 0;

    // The temporary's name holds no "tfevents", so TensorBoard never reads it as a run.
    py::object temporary = s.os.attr("path").attr("join")(
        s.os.attr("path").attr("dirname")(path),
        pykit::format(".resume-{}-{}.tmp", s.os.attr("getpid")(), s.os.attr("urandom")(4).attr("hex")()));
    try {
        pykit::with(s.tf.attr("io").attr("TFRecordWriter")(temporary), [&](const py::object& writer) {
            for (py::handle bytes : kept) writer.attr("write")(bytes);
        });
        s.os.attr("replace")(temporary, path);
    } catch (...) {
        remove_quietly(s, temporary);
        throw;
    }
    return dropped;
}

// The TensorBoard points the stopped run logged after its last state (in the logger's folder,
// in event files whose writing process has ended): dropped, so that the resumed run's steps
// follow the state's without a step number appearing twice. Returns how many were dropped.
inline long drop_orphaned_events(const State& s, const py::object& logger, const py::object& saved_at) {
    py::object storage = py::getattr(logger, "storage", py::none());
    if (storage.is_none() || !pykit::truthy(s.os.attr("path").attr("isdir")(storage))) return 0;
    long dropped = 0;
    py::list names = s.os.attr("listdir")(storage);
    names.attr("sort")();
    for (py::handle entry : names) {
        if (!PyUnicode_Check(entry.ptr())) continue;
        const long long writer = event_file_writer(entry.cast<std::string>());
        if (writer < 0 || pykit::equals(s.os.attr("getpid")(), py::int_(writer)) || another_process_runs(s, writer))
            continue;  // not a TensorFlow event file, or one a running process may still write
        py::object path = s.os.attr("path").attr("join")(storage, entry);
        if (!pykit::truthy(s.os.attr("path").attr("isfile")(path))) continue;
        // A file last written before the state holds nothing later (flushed after it was logged).
        if (pykit::holds(s.os.attr("path").attr("getmtime")(path), saved_at, Py_LE)) continue;
        dropped += drop_late_summaries(s, path, saved_at);
    }
    return dropped;
}

// Half-written states of a killed save (data files the index never listed, "_temp" folders,
// index temporaries): removed once a complete state has been read.
inline void remove_unlisted_state_files(const State& s, const py::object& folder) {
    py::set listed;
    py::object index = s.tf.attr("train").attr("get_checkpoint_state")(folder);
    if (!index.is_none())
        for (py::handle path : index.attr("all_model_checkpoint_paths"))
            listed.add(s.os.attr("path").attr("basename")(path));
    for (py::handle entry : s.os.attr("listdir")(folder)) {
        if (!PyUnicode_Check(entry.ptr())) continue;
        const std::string name = entry.cast<std::string>();
        std::string prefix;
        if (name.rfind("checkpoint.tmp", 0) == 0) {
            prefix = name;  // an index update that never completed
        } else if (name.rfind("ckpt-", 0) == 0) {
            const size_t end = name.find_first_not_of("0123456789", 5);
            if (end == 5 || end == std::string::npos) continue;
            prefix = name.substr(0, end);
            const std::string rest = name.substr(end);
            if (rest != ".index" && rest.rfind(".data-", 0) != 0 && rest != "_temp") continue;
            if (pykit::contains(listed, py::str(prefix))) continue;
        } else {
            continue;
        }
        py::object path = s.os.attr("path").attr("join")(folder, entry);
        if (pykit::truthy(s.os.attr("path").attr("isdir")(path)))
            s.tf.attr("io").attr("gfile").attr("rmtree")(path);
        else
            remove_quietly(s, path);
    }
}

// summary.csv as the restored rows say (the stopped run may have added a row after its state).
inline void rewrite_summary(const State& s, const py::object& self) {
    py::list rows = self.attr("summary_rows");
    if (pykit::len(rows) == 0) return;
    py::list columns;
    columns.append("epoch");
    for (py::handle key : pykit::as_list(rows[py::int_(0)]))
        if (!pykit::equals(key, py::str("epoch"))) columns.append(key);
    write_summary_csv(s, self, columns);
}

// DVC Live resumed by train(): its next step is the state's, and rows the stopped run logged at
// that step or later are dropped from the metric histories (plots/metrics/**/*.tsv).
inline void continue_dvclive(const State& s, const py::object& self, const py::object& live) {
    if (!resumes_dvclive(self)) return;
    py::object step = self.attr("_dvclive_step");
    live.attr("step") = step;
    py::object metrics = path_join(s, live.attr("plots_dir"), "metrics");
    for (py::handle walked : s.os.attr("walk")(metrics)) {
        std::vector<py::object> folder = pykit::unpack(walked, 3);
        for (py::handle file_name : folder[2]) {
            if (!pykit::truthy(file_name.attr("endswith")(".tsv"))) continue;
            py::object path = s.os.attr("path").attr("join")(folder[0], file_name);
            py::list lines;
            pykit::with(pykit::builtin("open")(path, py::arg("encoding") = "utf-8", py::arg("newline") = ""),
                        [&](const py::object& f) { lines = f.attr("read")().attr("splitlines")(true); });
            if (pykit::len(lines) < 2) continue;
            py::list header = lines[py::int_(0)].attr("rstrip")("\r\n").attr("split")("\t");
            if (!pykit::contains(header, py::str("step"))) continue;
            py::object column = header.attr("index")("step");
            py::list kept;
            kept.append(lines[py::int_(0)]);
            for (size_t i = 1; i < pykit::len(lines); ++i) {
                py::object fields = lines[py::int_(i)].attr("rstrip")("\r\n").attr("split")("\t");
                if (pykit::holds(pykit::as_int(fields[column]), step, Py_LT)) kept.append(lines[py::int_(i)]);
            }
            if (pykit::len(kept) == pykit::len(lines)) continue;
            TemporaryFile temporary(s, path, "");
            pykit::with(pykit::builtin("open")(temporary.path(), "w", py::arg("encoding") = "utf-8",
                                               py::arg("newline") = ""),
                        [&](const py::object& f) { f.attr("write")(py::str("").attr("join")(kept)); });
            temporary.commit();
        }
    }
}

// DetectionTrainer.restore(self) -> the epoch to start from.
inline py::object restore(const State& s, const py::object& self) {
    py::object folder = state_folder(s, self);
    py::object path = latest_state(s, self);
    if (path.is_none()) {
        pykit::print(pykit::format("\t - [INFO] No training state in {}: training starts at epoch 1", folder));
        return py::int_(1);
    }

    StateValues v = empty_state_values(s);
    load_state(s, self, path, v);
    py::int_ epoch = pykit::as_int(v.epoch.attr("numpy")());
    py::int_ step = pykit::as_int(v.logger_step.attr("numpy")());
    py::object saved_at = pykit::as_float(v.saved_at.attr("numpy")());

    self.attr("best_value") = pykit::as_float(v.best_value.attr("numpy")());
    self.attr("summary_rows") = s.json.attr("loads")(v.summary_rows.attr("numpy")().attr("decode")());
    py::object logger = self.attr("logger");
    if (pykit::holds(step, py::int_(0), Py_GE) && py::hasattr(logger, "global_step")) logger.attr("global_step") = step;
    self.attr("current_lr") = current_learning_rate(s, self.attr("optimizer"));
    self.attr("restored_epoch") = epoch;
    self.attr("_dvclive_step") = pykit::as_int(v.dvclive_step.attr("numpy")());
    self.attr("_earlier_run") = py::none();

    // The clean-up rewrites the run's own files; only the chief touches them (on a folder the
    // workers share, the others would edit the chief's files).
    long dropped = 0;
    if (is_chief(self.attr("model"))) {
        dropped = drop_orphaned_events(s, logger, saved_at);
        rewrite_summary(s, self);
        remove_unlisted_state_files(s, folder);
    }

    py::object next = epoch + py::int_(1);
    py::str tensorboard = pykit::holds(step, py::int_(0), Py_GE) ? pykit::format("TensorBoard step {}", step)
                                                                 : py::str("no TensorBoard step");
    std::string line = pykit::format("\t - [INFO] Restored the training state of epoch {} from {}: best {} {}, "
                                     "optimizer step {}, {}; training continues at epoch {}",
                                     epoch, path, self.attr("metric"), self.attr("best_value"),
                                     pykit::as_int(self.attr("optimizer").attr("iterations").attr("numpy")()),
                                     tensorboard, next);
    if (dropped > 0)
        line += " (" + std::to_string(dropped) + " TensorBoard points logged after that state were dropped)";
    pykit::print(line);
    return next;
}

}  // namespace detection
