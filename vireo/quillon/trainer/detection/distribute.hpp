// Training under tf.distribute. A model built inside a strategy's scope trains on every
// replica of that strategy: the training dataset is distributed (its batch is the global
// batch), each replica runs the gradient step on its part, and the loss dictionary is reduced
// to the values of the whole global batch before anyone sees it.
//
// Only the chief writes the run's files. Every worker still runs the same validations and
// saves, because reading a model's variables can be a collective operation (BatchNormalization
// keeps its moving statistics per replica, and a read in cross-replica context averages them
// over all workers); a worker other than the chief writes into "workertemp_<task id>" folders
// and removes them when `train` ends, as TensorFlow's multi-worker guide prescribes.
#pragma once

#include <string>
#include <utility>

#include "common.hpp"
#include "step.hpp"

namespace detection {

// --- where the model trains -----------------------------------------------------------------

// The strategy the model was built under, or an empty object for one device: a model built
// outside every scope reports the default strategy, under whose scope has_strategy() is false.
inline py::object model_strategy(const State& s, const py::object& model) {
    if (!py::hasattr(model, "distribute_strategy")) return {};
    py::object strategy = model.attr("distribute_strategy");
    bool distributed = false;
    pykit::with(strategy.attr("scope")(),
                [&] { distributed = pykit::truthy(s.tf.attr("distribute").attr("has_strategy")()); });
    return distributed ? strategy : py::object();
}

// Runs `body` inside the scope of the model's strategy (variables made there are mirrored);
// directly on one device.
template <class Body>
void in_model_scope(const State& s, const py::object& model, Body&& body) {
    py::object strategy = model_strategy(s, model);
    if (strategy)
        pykit::with(strategy.attr("scope")(), [&] { body(); });
    else
        body();
}

// Whether this process writes the run's files: on one device, under MirroredStrategy and on
// the chief of a cluster. (A model object without a strategy trains on one device.)
inline bool is_chief(const py::object& model) {
    if (!py::hasattr(model, "distribute_strategy")) return true;
    return pykit::truthy(model.attr("distribute_strategy").attr("extended").attr("should_checkpoint"));
}

// "<folder>/workertemp_<task id>": where a worker other than the chief writes what the chief
// writes into `folder`.
inline py::object worker_folder(const State& s, const py::object& model, const py::object& folder) {
    py::object resolver = py::getattr(model.attr("distribute_strategy"), "cluster_resolver", py::none());
    py::object task = resolver.is_none() ? py::none() : py::getattr(resolver, "task_id", py::none());
    if (task.is_none()) task = s.os.attr("getpid")();
    return s.os.attr("path").attr("join")(folder, pykit::format("workertemp_{}", task));
}

// The folder the trainer writes its checkpoint-folder files into: `checkpoint` on the chief,
// the worker's temporary folder inside it (created when missing) elsewhere.
inline py::object write_folder(const State& s, const py::object& self) {
    py::object checkpoint = self.attr("checkpoint");
    py::object model = self.attr("model");
    if (is_chief(model)) return checkpoint;
    py::object folder = worker_folder(s, model, checkpoint);
    s.os.attr("makedirs")(folder, py::arg("exist_ok") = true);
    return folder;
}

// `path` (best.h5, last.h5) on the chief; the same file name in the worker's folder elsewhere.
inline py::object write_path(const State& s, const py::object& self, const py::object& path) {
    if (is_chief(self.attr("model"))) return path;
    py::object os_path = s.os.attr("path");
    return os_path.attr("join")(write_folder(s, self), os_path.attr("basename")(path));
}

// Runs `write`, a writer that takes its paths from the trainer's `checkpoint` (the training
// state's), so that a worker other than the chief writes into its temporary folder: there
// `checkpoint` reads as that folder during the call. Reading (restore) keeps the real folder.
template <class Write>
void as_this_worker(const State& s, const py::object& self, Write&& write) {
    if (is_chief(self.attr("model"))) {
        write();
        return;
    }
    py::object checkpoint = self.attr("checkpoint");
    self.attr("checkpoint") = write_folder(s, self);
    try {
        write();
    } catch (...) {
        self.attr("checkpoint") = checkpoint;
        throw;
    }
    self.attr("checkpoint") = checkpoint;
}

// --- the logger of a worker -------------------------------------------------------------------

// Whether `name` is an event file that this process opened: TensorFlow names them
// "events.out.tfevents.<time>.<host>.<pid>.<counter>.v2".
inline bool own_event_file(const State& s, const py::handle& name) {
    if (!PyUnicode_Check(name.ptr())) return false;
    py::list parts = py::reinterpret_borrow<py::str>(name).attr("split")(".");
    const size_t n = parts.size();
    if (n < 8 || !pykit::truthy(py::reinterpret_borrow<py::str>(name).attr("startswith")("events.out.tfevents.")))
        return false;
    return pykit::equals(parts[n - 1], py::str("v2")) &&
           pykit::equals(parts[n - 3], pykit::as_str(s.os.attr("getpid")()));
}

// Removes the event files of this process in `folder` that hold nothing but their header
// record: what a logger's construction opened there before the trainer redirected it.
inline void remove_empty_event_files(const State& s, const py::object& folder) {
    for (py::handle name : s.os.attr("listdir")(folder)) {
        if (!own_event_file(s, name)) continue;
        py::object path = s.os.attr("path").attr("join")(folder, name);
        py::object records = s.tf.attr("data").attr("TFRecordDataset")(path).attr("take")(2);
        if (pykit::len(pykit::as_list(records)) == 1) s.os.attr("remove")(path);
    }
}

// On a worker other than the chief, the logger writes into "<storage>/workertemp_<task id>"
// from now on; the empty event file its construction opened in `storage` is closed and
// removed. Called before the trainer hands the logger's writer to the validation writer. A
// logger without a `writer` fails here with AttributeError, before anything changes.
inline void redirect_worker_logger(const State& s, const py::object& model, const py::object& logger) {
    py::object writer = logger.attr("writer");
    if (is_chief(model) || !py::hasattr(logger, "storage")) return;
    py::object storage = logger.attr("storage");
    logger.attr("writer") = s.tf.attr("summary").attr("create_file_writer")(worker_folder(s, model, storage));
    writer.attr("close")();
    remove_empty_event_files(s, storage);
}

// Removes a worker's temporary folders (in the checkpoint folder and the logger's folder);
// nothing on the chief.
inline void remove_worker_folders(const State& s, const py::object& self) {
    py::object model = self.attr("model");
    if (is_chief(model)) return;
    py::object rmtree = pykit::import_from("shutil", "rmtree");
    rmtree(worker_folder(s, model, self.attr("checkpoint")), py::arg("ignore_errors") = true);
    py::object logger = self.attr("logger");
    if (py::hasattr(logger, "storage"))
        rmtree(worker_folder(s, model, logger.attr("storage")), py::arg("ignore_errors") = true);
}

// Removes a worker's temporary folders when `train` returns or fails.
class WorkerFoldersRemoval {
public:
    WorkerFoldersRemoval(const State& s, const py::object& self) : s_(s), self_(self) {}
    WorkerFoldersRemoval(const WorkerFoldersRemoval&) = delete;
    WorkerFoldersRemoval& operator=(const WorkerFoldersRemoval&) = delete;
    ~WorkerFoldersRemoval() {
        try {
            remove_worker_folders(s_, self_);
        } catch (...) {
            // A folder that cannot be removed is left; the run's own outcome is what counts.
        }
    }

private:
    const State& s_;
    py::object self_;
};

// --- the distributed step ---------------------------------------------------------------------

inline const char* const kEmptyReplica = "DetectionTrainer.train: a training batch leaves a replica without samples";

// The error for a global batch with fewer samples than replicas: a model cannot run on an
// empty batch, so the replica refuses it before its forward pass.
inline std::string empty_replica_message(const py::object& strategy) {
    const std::string replicas = pykit::as_str(strategy.attr("num_replicas_in_sync")).cast<std::string>();
    return std::string(kEmptyReplica) + ". tf.distribute splits every global batch between the " + replicas +
           " replicas, and a model cannot run on an empty batch: batch the dataset with drop_remainder=True, or "
           "make its last batch hold at least one sample per replica.";
}

// The images, once this replica is known to hold at least one of them (the model runs after
// the check, so an empty replica batch fails with the message above, not inside the model).
inline py::object nonempty_images(const State& s, const py::object& self, const py::object& images) {
    py::object tf = s.tf;
    py::object count = tf.attr("shape")(images)[py::int_(0)];
    std::string message = empty_replica_message(self.attr("model").attr("distribute_strategy"));
    py::object check = tf.attr("debugging").attr("assert_positive")(count, py::arg("message") = message);
    py::object checked;
    pykit::with(tf.attr("control_dependencies")(py::make_tuple(check)),
                [&] { checked = tf.attr("identity")(images); });
    return checked;
}

// This replica's share of the global batch: its sample count over the count on all replicas.
// Each replica's loss is a mean over its own samples; scaled by the share, the gradients summed
// over the replicas are those of the mean over the global batch, also when the last batch
// splits unevenly.
inline py::object batch_share(const State& s, const py::object& images) {
    py::object tf = s.tf;
    py::object here = tf.attr("cast")(tf.attr("shape")(images)[py::int_(0)], tf.attr("float32"));
    py::object sum = tf.attr("distribute").attr("ReduceOp").attr("SUM");
    py::object everywhere = tf.attr("distribute").attr("get_replica_context")().attr("all_reduce")(sum, here);
    return here / everywhere;
}

// One replica's part of a step, run by strategy.run: the forward pass of train_step, the loss
// scaled by the replica's share, the gradients applied (the optimizer sums them over the
// replicas). Returns the loss dictionary, with "L2-loss", each value weighted by the share.
inline py::object replica_train_step(const State& s, const py::object& self, const py::object& data) {
    py::object images = nonempty_images(s, self, self.attr("preprocess_input")(data[py::int_(0)]));
    py::object targets = data[py::slice(py::int_(1), py::none(), py::none())];

    Forward f;
    py::object share, scaled, tape;
    pykit::with(s.tf.attr("GradientTape")(), [&](const py::object& recording) {
        tape = recording;
        f = forward(s, self, images, targets);
        share = batch_share(s, images);
        scaled = f.full_loss * share;
    });

    py::object variables = self.attr("model").attr("trainable_variables");
    py::object grads = tape.attr("gradient")(scaled, variables);
    self.attr("optimizer").attr("apply_gradients")(pykit::builtin("zip")(grads, variables));
    f.losses[py::str("L2-loss")] = f.l2;
    for (py::handle key : pykit::as_list(f.losses)) {
        py::object value = f.losses[key];
        f.losses[key] = value * share;
    }
    return f.losses;
}

// The step of a global batch: every replica runs replica_train_step on its part, and each
// weighted loss is summed over the replicas, which gives its value for the global batch (its
// mean over the batch's samples). Values are reduced one by one: a worker with a single
// replica holds plain tensors, which reduce() takes only one at a time.
inline py::object distributed_train_step(const State& s, const py::object& self, const py::object& data) {
    py::object strategy = self.attr("model").attr("distribute_strategy");
    py::object losses = strategy.attr("run")(s.replica_train_step, py::arg("args") = py::make_tuple(self, data));
    py::object reduce = strategy.attr("reduce");
    py::object sum = s.tf.attr("distribute").attr("ReduceOp").attr("SUM");
    for (py::handle key : pykit::as_list(losses)) {
        py::object per_replica = losses[key];
        losses[key] = reduce(sum, per_replica, py::arg("axis") = py::none());
    }
    return losses;
}

// The same step on the next global batch of `iterator`, read inside the graph: iterating a
// distributed dataset from Python costs more per batch than a small model's whole step.
inline py::object distributed_next_step(const State& s, const py::object& self, const py::object& iterator) {
    return distributed_train_step(s, self, pykit::builtin("next")(iterator));
}

// --- one `train` call ----------------------------------------------------------------------------

// How one `train` call trains: on one device (only `dataset` set, `batches` None) or on the
// replicas of a strategy. With a known number of batches per epoch the compiled step reads each
// batch itself from `iterator`, and the epoch loop counts `range(batches)`; otherwise the loop
// hands it the batches of the distributed dataset.
struct Distribution {
    py::object strategy;              // the model's strategy, or empty
    py::object step;                  // step(iterator) or step(batch), compiled; empty on one device
    py::object distributed;           // the distributed dataset the step reads, or empty
    py::object iterator;              // this epoch's iterator over `distributed`
    py::object dataset;               // what the epoch loop iterates: train_ds, batches, or range(batches)
    py::object batches = py::none();  // batches per epoch for the progress bar (None: its own count)
};

// Under a strategy, the training dataset distributed: each of its batches is a global batch.
// Every worker reads the same sequence of global batches and keeps its replicas' part of each
// (auto-sharding by data unless the dataset chose a policy), so all workers run the same number
// of steps and a global batch holds the samples it holds on one device. Returns the distributed
// dataset and whether its epochs have the length of train_ds on every worker.
inline std::pair<py::object, bool> distribute_dataset(const State& s, const py::object& strategy,
                                                      const py::object& train_ds) {
    py::object tf = s.tf;
    if (py::isinstance(train_ds, tf.attr("distribute").attr("DistributedDataset"))) return {train_ds, false};
    if (!py::isinstance(train_ds, tf.attr("data").attr("Dataset")))
        pykit::raise(PyExc_TypeError,
                     pykit::format("DetectionTrainer.train: the model was built in the scope of {}, so train_ds must be "
                                   "a tf.data.Dataset (its batches are the global batches that the replicas share), "
                                   "or a dataset the strategy distributed; got {}",
                                   py::type::of(strategy).attr("__name__"), py::type::of(train_ds).attr("__name__")));
    py::object policies = tf.attr("data").attr("experimental").attr("AutoShardPolicy");
    py::object dataset = train_ds;
    py::object policy = train_ds.attr("options")().attr("experimental_distribute").attr("auto_shard_policy");
    if (pykit::equals(policy, policies.attr("AUTO"))) {
        py::object options = tf.attr("data").attr("Options")();
        options.attr("experimental_distribute").attr("auto_shard_policy") = policies.attr("DATA");
        dataset = train_ds.attr("with_options")(options);
        policy = policies.attr("DATA");
    }
    // By data, or not sharded at all, every worker sees every global batch.
    const bool whole = pykit::equals(policy, policies.attr("DATA")) || pykit::equals(policy, policies.attr("OFF"));
    return {strategy.attr("experimental_distribute_dataset")(dataset), whole};
}

// The number of batches of a dataset whose length is known, else None.
inline py::object known_batches(const py::object& dataset) {
    if (!py::hasattr(dataset, "cardinality")) return py::none();
    // A method of tf.data.Dataset, a number on a dataset the strategy distributed.
    py::object count = dataset.attr("cardinality");
    if (PyCallable_Check(count.ptr())) count = count();
    if (py::hasattr(count, "numpy")) count = count.attr("numpy")();
    return pykit::holds(count, py::int_(0), Py_GE) ? pykit::as_int(count) : py::object(py::none());
}

// The step of this `train` call: `native` bound to the trainer, compiled (traced at the first
// batch; the bodies are C++, so there is nothing for AutoGraph to convert).
inline py::object compile_step(const State& s, const py::object& native, const py::object& self) {
    py::object method = pykit::import_from("types", "MethodType")(native, self);
    return s.tf.attr("function")(method, py::arg("autograph") = false);
}

// Prepares a `train` call: on one device nothing changes; under a strategy the dataset is
// distributed and the distributed step compiled.
inline Distribution prepare_distribution(const State& s, const py::object& self, const py::object& train_ds) {
    Distribution d;
    d.dataset = train_ds;
    d.strategy = model_strategy(s, self.attr("model"));
    if (!d.strategy) return d;
    if (py::isinstance(d.strategy, s.tf.attr("distribute").attr("experimental").attr("ParameterServerStrategy")))
        pykit::raise(PyExc_ValueError,
                     "DetectionTrainer.train runs its replicas in step (MirroredStrategy, MultiWorkerMirroredStrategy); "
                     "a ParameterServerStrategy model needs a ClusterCoordinator and cannot be trained by it");
    d.step = compile_step(s, s.distributed_train_step, self);
    if (train_ds.is_none()) return d;  // the epoch loop reports it, as on one device

    auto [distributed, whole] = distribute_dataset(s, d.strategy, train_ds);
    d.dataset = distributed;
    d.batches = known_batches(whole ? train_ds : distributed);
    if (!d.batches.is_none() && (whole || !py::isinstance(train_ds, s.tf.attr("data").attr("Dataset")))) {
        d.distributed = distributed;
        d.dataset = pykit::builtin("range")(d.batches);
        d.step = compile_step(s, s.distributed_next_step, self);
    }
    return d;
}

// At the start of an epoch: a new pass over the distributed dataset the step reads.
inline void start_distributed_epoch(Distribution& d) {
    if (d.distributed) d.iterator = pykit::builtin("iter")(d.distributed);
}

// One global batch on every replica (`data` is the batch, or the batch number when the step
// reads its batch itself); returns the reduced losses. A replica left without samples is
// reported as such.
inline py::object run_distributed_step(const State& s, const Distribution& d, const py::object& data) {
    try {
        return d.distributed ? d.step(d.iterator) : d.step(data);
    } catch (py::error_already_set& e) {
        if (!e.matches(s.tf.attr("errors").attr("InvalidArgumentError")) ||
            !pykit::contains(pykit::as_str(e.value()), py::str(kEmptyReplica)))
            throw;
        pykit::raise(PyExc_ValueError, empty_replica_message(d.strategy));
    }
}

}  // namespace detection
