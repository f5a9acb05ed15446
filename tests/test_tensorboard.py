"""TensorBoard logger: event files written for real and read back with TensorBoard's reader."""
import collections
import inspect
import os
import warnings

import numpy as np
import pytest
import tensorflow as tf
from tensorboard.backend.event_processing.event_accumulator import EventAccumulator
from tensorboard.backend.event_processing.event_file_loader import EventFileLoader

from vireo.quillon.callbacks.tensorboard import TensorBoard

EMPTY_NAMES = "Invalid value for ``metric_names`` parameter was provided. List can't be empty nor None:"
NOTHING_TO_WRITE = "There is not metrics to register. \nPlease define the metric names in the class constructor"


def read_events(folder):
    """{tag: [(step, value), ...]} of every scalar and image in the folder's event files."""
    accumulator = EventAccumulator(str(folder), size_guidance={"tensors": 0})
    accumulator.Reload()
    out = {}
    for tag in accumulator.Tags()["tensors"]:
        plugin = accumulator.SummaryMetadata(tag).plugin_data.plugin_name
        events = accumulator.Tensors(tag)
        if plugin == "scalars":
            out[tag] = [(e.step, float(tf.make_ndarray(e.tensor_proto))) for e in events]
        else:
            out[tag] = [(e.step, plugin, tf.make_ndarray(e.tensor_proto)) for e in events]
    return out


def written_tags_in_order(folder):
    """The tags of all value summaries in file order, as (step, tag)."""
    order = []
    for name in sorted(os.listdir(folder)):
        for event in EventFileLoader(os.path.join(folder, name)).Load():
            order.extend((event.step, value.tag) for value in event.summary.value)
    return order


@pytest.fixture
def make_logger(tmp_path):
    def make(names, folder="logs"):
        return TensorBoard(str(tmp_path / folder), names)
    return make


# --- surface ------------------------------------------------------------------------------

def test_class_surface():
    assert TensorBoard.__bases__ == (object,)
    assert TensorBoard.__module__ == "vireo.quillon.callbacks.tensorboard"
    assert [n for n in vars(TensorBoard) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "update_metrics", "upload_image", "refresh"]
    assert "metric_names" in TensorBoard.__doc__ and "filter" in TensorBoard.__doc__
    assert "ValueError" in TensorBoard.__doc__


@pytest.mark.parametrize("name, signature", [
    ("__init__", "(self, storage: str, metric_names: list = None)"),
    ("update_metrics", "(self, metrics: dict = None, losses: dict = None)"),
    ("upload_image", "(self, caption: str, image: numpy.ndarray, epoch: int)"),
    ("refresh", "(self)"),
])
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(TensorBoard, name))) == signature


# --- constructor --------------------------------------------------------------------------

def test_constructor_creates_the_folder_and_prints_it(tmp_path, capsys):
    folder = tmp_path / "runs" / "a"
    names = ["total-loss"]
    logger = TensorBoard(str(folder), names)
    assert folder.is_dir()
    assert capsys.readouterr().out == "\t - TensorBoard Log: %s\n" % folder
    assert logger.storage == str(folder) and logger.metric_names is names and logger.global_step == 0
    assert isinstance(logger.writer, tf.summary.SummaryWriter)


def test_existing_folder_is_reused(tmp_path):
    (tmp_path / "keep.txt").write_text("x")
    TensorBoard(str(tmp_path), ["a"]).update_metrics({"a": 1.0})
    assert (tmp_path / "keep.txt").read_text() == "x"
    assert read_events(tmp_path) == {"a": [(0, 1.0)]}


@pytest.mark.parametrize("kwargs", [{}, {"metric_names": None}, {"metric_names": []}])
def test_empty_names_raise_before_any_folder(tmp_path, kwargs):
    folder = tmp_path / "never"
    with pytest.raises(ValueError) as info:
        TensorBoard(str(folder), **kwargs)
    assert info.value.args == (EMPTY_NAMES,)
    assert not folder.exists()


@pytest.mark.parametrize("storage, names, failing, expected, got", [
    (b"logs", ["a"], "storage", "str", "bytes"),
    ("PATH", ["a"], "storage", "str", "PosixPath"),
    ("logs", ("a",), "metric_names", "list", "tuple"),
    ("logs", collections.UserList(["a"]), "metric_names", "list", "UserList"),
    (1, ("a",), "storage", "str", "int"),  # first failure in signature order
])
def test_argument_types(tmp_path, storage, names, failing, expected, got):
    if storage == "PATH":
        storage = tmp_path / "logs"
    with pytest.raises(TypeError) as info:
        TensorBoard(storage, names)
    assert str(info.value) == "Argument '%s' has incorrect type (expected %s, got %s)" % (failing, expected, got)
    assert os.listdir(tmp_path) == []


# --- update_metrics -------------------------------------------------------------------------

def test_losses_are_written_at_successive_steps(make_logger, tmp_path):
    logger = make_logger(["total-loss"])
    assert logger.update_metrics({}, {"total-loss": 1.5}) is None
    logger.update_metrics({}, {"total-loss": 0.5})
    assert logger.global_step == 2
    assert read_events(tmp_path / "logs") == {"total-loss": [(0, 1.5), (1, 0.5)]}


@pytest.mark.parametrize("metrics, losses, written", [
    ({"a": 2.0}, {"a": 3.0}, 2.0),           # metrics first
    ({"a": 0.0}, {"a": 0.3}, 0.3),           # a zero metric: the losses are asked
    ({"a": None}, {"a": 0.3}, 0.3),
    ({"a": False}, {"a": 0.3}, 0.3),
    ({}, {"a": 0.3}, 0.3),
    ({"a": 7}, None, 7.0),
    ({"a": True}, None, 1.0),
    ({"a": tf.constant(2.5)}, None, 2.5),    # the loss dictionary holds scalar tensors
    ({"a": np.float32(-1.25)}, None, -1.25),
    ({"a": float("nan")}, None, float("nan")),
])
def test_value_choice(make_logger, tmp_path, metrics, losses, written):
    make_logger(["a"]).update_metrics(metrics, losses)
    [(step, value)] = read_events(tmp_path / "logs")["a"]
    assert step == 0
    np.testing.assert_equal(np.float32(value), np.float32(written))


@pytest.mark.parametrize("metrics, losses", [
    ({"a": 0}, {"a": 0.0}),
    ({"a": 0.0}, None),
    ({"a": None}, {"a": False}),
    ({"a": tf.constant(0.0)}, {}),
    ({"b": 1.0}, {"b": 1.0}),            # not a listed name
    (None, {"a": 1.5}),                  # no metrics: the losses are not consulted
    (None, None),
])
def test_nothing_written_but_the_step_advances(make_logger, tmp_path, metrics, losses):
    logger = make_logger(["a"])
    logger.update_metrics(metrics, losses)
    assert logger.global_step == 1
    logger.update_metrics({"a": 9.0})
    assert read_events(tmp_path / "logs") == {"a": [(1, 9.0)]}


def test_filter_and_order_follow_metric_names(make_logger, tmp_path):
    logger = make_logger(["learning-rate", "mAP@0.5", "total-loss"])
    logger.update_metrics({"mAP@0.5": 0.4, "extra": 1.0}, {"total-loss": 2.0, "learning-rate": 0.01, "L2-loss": 3.0})
    logger.update_metrics({}, {"total-loss": 1.0})
    folder = tmp_path / "logs"
    assert written_tags_in_order(folder) == [
        (0, "learning-rate"), (0, "mAP@0.5"), (0, "total-loss"), (1, "total-loss")]
    assert read_events(folder) == {"learning-rate": [(0, pytest.approx(0.01))], "mAP@0.5": [(0, pytest.approx(0.4))],
                                   "total-loss": [(0, 2.0), (1, 1.0)]}


def test_emptied_names_warn_and_do_not_advance(make_logger, tmp_path):
    logger = make_logger(["a"])
    logger.metric_names.clear()
    with pytest.warns(UserWarning) as record:
        assert logger.update_metrics({"a": 1.0}, {"a": 1.0}) is None
    assert [str(w.message) for w in record] == [NOTHING_TO_WRITE]
    assert logger.global_step == 0
    assert read_events(tmp_path / "logs") == {}


@pytest.mark.parametrize("metrics, losses, failing, got", [
    (collections.OrderedDict(a=1.0), None, "metrics", "collections.OrderedDict"),
    ({}, collections.defaultdict(float), "losses", "collections.defaultdict"),
    ([("a", 1.0)], {}, "metrics", "list"),
    ("a", 1, "metrics", "str"),
])
def test_update_argument_types(make_logger, tmp_path, metrics, losses, failing, got):
    logger = make_logger(["a"])
    with pytest.raises(TypeError) as info:
        logger.update_metrics(metrics, losses)
    assert str(info.value) == "Argument '%s' has incorrect type (expected dict, got %s)" % (failing, got)
    assert logger.global_step == 0


def test_summary_error_propagates_and_leaves_no_default_writer(make_logger, tmp_path):
    logger = make_logger(["a", "b"])
    with pytest.raises(tf.errors.UnimplementedError):  # a string cannot be cast to float32
        logger.update_metrics({"a": 1.0, "b": "not a number"})
    assert logger.global_step == 0
    # The writer context was left on the error: no writer is the default any more.
    assert not bool(tf.summary.scalar("outside", 1.0, step=0))
    logger.update_metrics({"a": 2.0, "b": 3.0})
    events = read_events(tmp_path / "logs")
    assert events["b"] == [(0, 3.0)] and events["a"][-1] == (0, 2.0)


# --- images and refresh -------------------------------------------------------------------

def test_image_is_written_at_the_callers_epoch(make_logger, tmp_path):
    logger = make_logger(["a"])
    logger.update_metrics({"a": 1.0})
    image = np.random.default_rng(0).integers(0, 256, size=(6, 5, 3), dtype=np.uint8)
    assert logger.upload_image("val/sample", image, 7) is None
    logger.refresh()
    assert logger.global_step == 1
    [(step, plugin, encoded)] = read_events(tmp_path / "logs")["val/sample"]
    assert (step, plugin) == (7, "images")
    assert encoded[:2].tolist() == [b"5", b"6"]  # width, height
    np.testing.assert_array_equal(tf.io.decode_png(encoded[2]).numpy(), image)


def test_image_caption_type(make_logger):
    logger = make_logger(["a"])
    with pytest.raises(TypeError) as info:
        logger.upload_image(b"caption", np.zeros((2, 2, 3), np.uint8), 0)
    assert str(info.value) == "Argument 'caption' has incorrect type (expected str, got bytes)"


# --- the write op itself, once per scalar ----------------------------------------------------

def reference_update(writer, names, step, metrics=None, losses=None):
    """update_metrics written out with one eager tf.summary.scalar per key."""
    for key in names:
        if metrics is None:
            continue
        value = metrics.get(key)
        if not value and losses is not None:
            value = losses.get(key)
        if value:
            with writer.as_default():
                tf.summary.scalar(key, value, step=step)
    writer.flush()


def scalar_events(folder):
    """{tag: [(step, value bytes, dtype, plugin, plugin content)]}: everything a reader sees."""
    accumulator = EventAccumulator(str(folder), size_guidance={"tensors": 0})
    accumulator.Reload()
    out = {}
    for tag in accumulator.Tags()["tensors"]:
        plugin = accumulator.SummaryMetadata(tag).plugin_data
        out[tag] = [(e.step, tf.make_ndarray(e.tensor_proto).tobytes(), e.tensor_proto.dtype, plugin.plugin_name,
                     plugin.content) for e in accumulator.Tensors(tag)]
    return out


TRAINING_KEYS = ["total-loss", "L2-loss", "step-time (seconds)", "learning-rate"]
VALIDATION_KEYS = ["mAP@0.5", "mAP@0.5:0.95", "Overall-ACC"]
VALUES = [
    tf.constant(1.25), tf.constant(0.1, tf.float64), tf.constant(7, tf.int64), tf.constant(True),
    0.1, 1e-30, 3.4028235e38, float("inf"), float("nan"), 3, -(2 ** 53) - 1, 2 ** 62 + 1, True,
    np.float64(0.3), np.float16(1.5), np.int64(2 ** 53 + 1), np.uint64(2 ** 64 - 1), np.uint8(200), np.bool_(True),
    np.array(2.5), np.array(9, np.int32), tf.Variable(0.75), tf.Variable(2.0, dtype=tf.float64),
    tf.constant(0.3, tf.float16), tf.constant(1.7, tf.bfloat16), tf.constant(200, tf.uint8),
    tf.constant(1e300, tf.float64),
]


def test_written_events_equal_one_eager_scalar_per_key(tmp_path):
    names = TRAINING_KEYS + VALIDATION_KEYS
    logger = TensorBoard(str(tmp_path / "ours"), names)
    reference = tf.summary.create_file_writer(str(tmp_path / "reference"))
    calls = []
    for i in range(0, len(VALUES), 4):  # per batch: losses
        calls.append(({}, dict(zip(TRAINING_KEYS, VALUES[i:i + 4]))))
    calls.append(({"mAP@0.5": 0.5, "mAP@0.5:0.95": 0.0, "Overall-ACC": np.float32(0.9)},  # a validation
                  {"mAP@0.5:0.95": 0.25, "total-loss": 2.0}))
    calls.append((None, {"total-loss": 1.0}))  # nothing written, the step advances
    calls.append(({}, {"total-loss": 0.5, "learning-rate": tf.constant(1e-3)}))
    for step, (metrics, losses) in enumerate(calls):
        logger.update_metrics(metrics, losses)
        reference_update(reference, names, step, metrics, losses)
    assert logger.global_step == len(calls)
    ours = scalar_events(tmp_path / "ours")
    assert ours == scalar_events(tmp_path / "reference")
    assert sum(len(v) for v in ours.values()) == len(VALUES) + 4 + 2
    assert len(logger._scalar_write_tensors[2]) == len(names)  # every tag written by the write op itself
    assert written_tags_in_order(tmp_path / "ours") == written_tags_in_order(tmp_path / "reference")


def test_a_variable_is_written_at_its_value_of_the_call_and_never_when_zero(tmp_path):
    logger = TensorBoard(str(tmp_path / "ours"), ["learning-rate"])
    rate = tf.Variable(0.0)
    for value in (0.0, 1e-3, 0.0, 5e-4):
        rate.assign(value)
        logger.update_metrics({}, {"learning-rate": rate})
    events = scalar_events(tmp_path / "ours")["learning-rate"]
    assert [(step, np.frombuffer(value, np.float32)[0]) for step, value, *_ in events] == [
        (1, np.float32(1e-3)), (3, np.float32(5e-4))]


@pytest.mark.parametrize("value", [
    "1.5",                        # a string: tf.cast refuses it
    1e300,                        # beyond float32: the tensor conversion refuses it
    2 ** 64,                      # beyond int64
    np.array([1.0, 2.0]),         # not a scalar (truthiness fails first)
    [1.0],                        # not a scalar
    tf.constant([2.0]),           # not a scalar
    tf.constant("1.5"),           # a string tensor
])
def test_values_tf_summary_refuses_raise_its_errors(make_logger, tmp_path, value):
    logger = make_logger(["a", "b"])
    reference = tf.summary.create_file_writer(str(tmp_path / "reference"))
    with pytest.raises(Exception) as ours:
        logger.update_metrics({"a": 1.0, "b": value})
    with pytest.raises(Exception) as theirs:
        reference_update(reference, ["a", "b"], 0, {"a": 1.0, "b": value})
    assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))
    assert logger.global_step == 0
    logger.refresh()
    assert scalar_events(tmp_path / "logs") == scalar_events(tmp_path / "reference")


def test_name_scope_prefixes_the_tags_as_eager_writes_do(make_logger, tmp_path):
    logger = make_logger(["total-loss"])
    logger.update_metrics({}, {"total-loss": 1.0})
    with tf.name_scope("outer"):
        logger.update_metrics({}, {"total-loss": 2.0})
    logger.update_metrics({}, {"total-loss": 3.0})
    assert read_events(tmp_path / "logs") == {"total-loss": [(0, 1.0), (2, 3.0)], "outer/total-loss": [(1, 2.0)]}


@pytest.mark.parametrize("step", [np.int64(41), 2 ** 63 - 1, True])
def test_steps_set_from_outside_are_used(make_logger, tmp_path, step):
    logger = make_logger(["a"])
    logger.global_step = step
    logger.update_metrics({"a": 1.0})
    assert logger.global_step == step + 1
    assert read_events(tmp_path / "logs") == {"a": [(int(step), 1.0)]}


def test_a_replaced_writer_gets_the_writes(make_logger, tmp_path):
    logger = make_logger(["a"])
    logger.update_metrics({"a": 1.0})
    logger.writer = tf.summary.create_file_writer(str(tmp_path / "other"))
    logger.update_metrics({"a": 2.0})
    assert read_events(tmp_path / "logs") == {"a": [(0, 1.0)]}
    assert read_events(tmp_path / "other") == {"a": [(1, 2.0)]}


@pytest.mark.parametrize("names, metrics, error, message", [
    (["a", "b", "c"], {"a": 1.0, "b": np.array([1.0, 2.0]), "c": 3.0}, ValueError, "ambiguous"),
    (["a", ["b"], "c"], {"a": 1.0, "c": 3.0}, TypeError, "unhashable type: 'list'"),  # as dict.get
])
def test_a_value_whose_choice_fails_after_written_ones(make_logger, tmp_path, names, metrics, error, message):
    logger = make_logger(names)
    with pytest.raises(error, match=message):
        logger.update_metrics(metrics)
    assert logger.global_step == 0
    logger.refresh()
    assert read_events(tmp_path / "logs") == {"a": [(0, 1.0)]}  # as with one write per key


def test_no_warnings_over_many_calls_and_tag_sets(make_logger, tmp_path):
    logger = make_logger(TRAINING_KEYS + VALIDATION_KEYS)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for step in range(30):
            losses = {key: tf.constant(float(step + 1)) for key in TRAINING_KEYS[: 1 + step % 4]}
            metrics = {"mAP@0.5": 0.5} if step % 7 == 0 else {}
            logger.update_metrics(metrics, losses)
    assert len(read_events(tmp_path / "logs")["total-loss"]) == 30



@pytest.mark.parametrize("condition", [False, lambda: False, True, tf.constant(False), tf.constant(True)])
def test_record_if_applies_as_to_eager_writes(make_logger, tmp_path, condition):
    logger = make_logger(["a"])
    logger.update_metrics({"a": 1.0})
    with tf.summary.record_if(condition):
        logger.update_metrics({"a": 2.0})
    logger.update_metrics({"a": 3.0})
    assert logger.global_step == 3
    recorded = condition if isinstance(condition, bool) else not callable(condition) and bool(condition)
    written = [(0, 1.0), (1, 2.0), (2, 3.0)] if recorded else [(0, 1.0), (2, 3.0)]
    assert read_events(tmp_path / "logs") == {"a": written}


def test_values_without_float_are_read_through_numpy(make_logger, tmp_path):
    # A loss kept in a variable made under a strategy scope is a MirroredVariable: it has numpy()
    # but no float().
    with tf.distribute.MirroredStrategy(["/cpu:0"]).scope():
        loss = tf.Variable(0.5, dtype=tf.float64)
    with pytest.raises(TypeError):
        float(loss)
    logger = make_logger(["loss"])
    logger.update_metrics({"loss": loss})
    assert read_events(tmp_path / "logs") == {"loss": [(0, 0.5)]}


def test_a_closed_writer_raises_as_eager_writes_do(make_logger):
    logger = make_logger(["a"])
    logger.update_metrics({"a": 1.0})
    logger.writer.close()
    with pytest.raises(RuntimeError, match="already closed"):
        logger.update_metrics({"a": 2.0})
