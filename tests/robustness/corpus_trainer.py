"""Hostile arguments and calls for the schedule, the TensorBoard logger and the detection
trainer, replayed by tests/robustness/harness.py in child processes.

`make_cases(root)` returns the cases (the parent writes nothing but folders); `run_case(case)`
runs one of them in the child. Values that cannot be pickled travel as tokens ("@object",
"@vector", ...) that the child turns into the real thing.
"""
import math
import os

S, T, W, N, H = 0.0001, 0.01, 10, 100, 0
SCHEDULE_ARGS = ("start_lr", "target_lr", "warmup_steps", "total_steps", "hold")

# Values of the wrong kind, non-finite and huge numbers, and edge values.
WRONG_TYPES = ["text", b"bytes", None, [1.0], {"a": 1}, "@object", (1, 2), 1j]
NON_FINITE = [math.nan, math.inf, -math.inf]
HUGE = [10 ** 30, 2 ** 63, -2 ** 63, 2 ** 64, 10 ** 400, 1e308, -1e308]
EDGE = [0, -1, 0.0, True]
HOSTILE = WRONG_TYPES + NON_FINITE + HUGE + EDGE

# TensorFlow's own refusals of a value (a string cast to float, an empty image to PNG, ...).
TF_ERRORS = ("InvalidArgumentError", "UnimplementedError", "InternalError")


def _label(value):
    return value if isinstance(value, str) and value.startswith("@") else repr(value)[:40]


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) or value is True


# --- the schedule ------------------------------------------------------------------------------

def _fits_int64(value):
    return -2 ** 63 <= value < 2 ** 63


def _rate_expectation(value):
    """start_lr, target_lr: float() of a real number, finite."""
    if not _is_number(value):
        return ("TypeError",)
    if value == 10 ** 400:
        return ("OverflowError",)  # no float holds it
    return ("ok",) if math.isfinite(value) else ("ValueError",)


def _step_parameter_expectation(name, value):
    """warmup_steps, total_steps, hold: checked at construction, stored unchanged, and met by
    TensorFlow's conversions at the first evaluation."""
    if not _is_number(value):
        return ("TypeError",)
    if isinstance(value, float) and not math.isfinite(value):
        return ("ValueError",)
    if name == "total_steps" and isinstance(value, float):
        return ("TypeError",)  # compared with an integer step tensor
    if isinstance(value, int) and not _fits_int64(value) or isinstance(value, float) and abs(value) > 3.4e38:
        # Beyond the tensors it meets (int64, float32): TensorFlow's conversions refuse it, unless
        # the value is only cast to float.
        return ("ok", "TypeError", "ValueError", "OverflowError")
    return ("ok",)


def _step_expectation(step):
    """The step given to __call__: a number or tensor, converted to a tensor."""
    if step is True:
        return ("TypeError",)  # a boolean step cannot be compared with the integer total
    if isinstance(step, int) and not _fits_int64(step):
        return ("ValueError", "OverflowError")
    if isinstance(step, float) and math.isfinite(step) and abs(step) > 3.4e38:
        return ("ValueError",)  # beyond float32
    if _is_number(step) or step in ("@float-tensor", "@int64-tensor", "@variable"):
        return ("ok",)
    return ("TypeError", "ValueError") + TF_ERRORS


def _schedule_cases():
    cases = []
    for index, name in enumerate(SCHEDULE_ARGS):
        for value in HOSTILE:
            args = [S, T, W, N, H]
            args[index] = value
            expect = _rate_expectation(value) if index < 2 else _step_parameter_expectation(name, value)
            cases.append({"name": f"schedule {name}={_label(value)}", "target": "schedule", "args": args,
                          "expect": expect})
    for step in HOSTILE + ["@vector", "@float-tensor", "@int64-tensor", "@variable"]:
        expect = _step_expectation(step)
        cases.append({"name": f"schedule step={_label(step)}", "target": "schedule-step", "step": step,
                      "expect": expect})
    for config, expect in [({}, "TypeError"), ({"start_lr": S}, "TypeError"),
                           (dict(zip(SCHEDULE_ARGS, [S, T, W, N, H]), extra=1), "TypeError"),
                           (dict(zip(SCHEDULE_ARGS, ["x", T, W, N, H])), "TypeError")]:
        cases.append({"name": f"schedule from_config {sorted(config)}", "target": "schedule-config",
                      "config": config, "expect": (expect,)})
    cases.append({"name": "schedule __init__ unbound on None", "target": "schedule-unbound",
                  "expect": ("AttributeError",)})
    return cases


# --- the TensorBoard logger ---------------------------------------------------------------------

def _logger_cases(root):
    cases = []
    folder = os.path.join(root, "logs")
    for storage, expect in [(b"logs", "TypeError"), (3, "TypeError"), ("@path", "TypeError"),
                            (None, "TypeError"), (folder + "\0x", "ValueError"),
                            ("/dev/null/logs", "NotADirectoryError"), (folder + "/" + "x" * 5000, "OSError")]:
        cases.append({"name": f"logger storage={_label(storage)[:30]}", "target": "logger", "storage": storage,
                      "names": ["a"], "expect": (expect,)})
    for names, expect in [(None, "ValueError"), ([], "ValueError"), (("a",), "TypeError"), ("a", "TypeError"),
                          ({"a": 1}, "TypeError"), ([1, None, b"x"], "ok")]:
        cases.append({"name": f"logger metric_names={_label(names)}", "target": "logger", "storage": folder,
                      "names": names, "expect": (expect,)})
    for value in HOSTILE + ["@vector", "@float-tensor"]:
        if value in (10 ** 30, 2 ** 63, 2 ** 64, 10 ** 400) or value in ([1.0], (1, 2), "@vector"):
            expect = ("ValueError", "OverflowError", "TypeError") + TF_ERRORS  # not a float32 scalar
        elif value in (1e308, -1e308):
            expect = ("ValueError",)  # beyond float32
        elif _is_number(value) or value in ("@float-tensor", None, 1j):
            expect = ("ok",)  # (TensorFlow keeps the real part of a complex number)
        else:
            expect = ("TypeError", "ValueError") + TF_ERRORS
        for where in ("metrics", "losses"):
            cases.append({"name": f"logger {where} value={_label(value)}", "target": "logger-update",
                          "storage": folder, "where": where, "value": value, "expect": expect})
    for metrics, losses in [("@ordered", None), ({}, "@ordered"), ([("a", 1.0)], None), ("a", {}), (1, 2)]:
        cases.append({"name": f"logger update types {_label(metrics)}, {_label(losses)}", "target": "logger-types",
                      "storage": folder, "metrics": metrics, "losses": losses, "expect": ("TypeError",)})
    for image, epoch, caption, expect in [
        ("@image", 0, "ok", ("ok",)), ("@image", -1, "ok", ("ok",)), ("@image", 2 ** 63 - 1, "ok", ("ok",)),
        ("@image", 2 ** 63, "ok", ("ValueError", "OverflowError")),
        ("@image", 2 ** 64, "ok", ("ValueError", "OverflowError")), ("@image", "x", "ok", ("ValueError", "TypeError")),
        ("@image", None, "ok", ("ValueError", "TypeError")), ("@image", 0, b"cap", ("TypeError",)),
        ("@image2d", 0, "ok", ("ValueError",) + TF_ERRORS), ("@image5d", 0, "ok", ("ValueError",) + TF_ERRORS),
        ("@empty-image", 0, "ok", ("ok", "ValueError") + TF_ERRORS), ("@float-image", 0, "ok", ("ok",)),
        ("@nan-image", 0, "ok", ("ok",)), ("@object-image", 0, "ok", ("ValueError", "TypeError")),
        ("text", 0, "ok", ("ValueError", "TypeError") + TF_ERRORS), (None, 0, "ok", ("ValueError", "TypeError")),
    ]:
        cases.append({"name": f"logger upload_image {image} epoch={_label(epoch)} caption={_label(caption)}",
                      "target": "logger-image", "storage": folder, "image": image, "epoch": epoch,
                      "caption": caption, "expect": expect})
    return cases


# --- the detection trainer ----------------------------------------------------------------------

def _trainer_cases(root):
    cases = []
    ckpt = os.path.join(root, "ckpt")

    def add(name, expect, **case):
        case.setdefault("checkpoint", ckpt)
        case["logs"] = os.path.join(root, "trainer-logs")
        cases.append(dict(case, name="trainer " + name, target=case.pop("target", "trainer"), expect=expect))

    for model, expect in [("@outputs0", "ValueError"), ("@outputs1", "ValueError"), ("@outputs2", "ValueError"),
                          ("@subclassed", "ValueError"), (None, "AttributeError"), ("text", "AttributeError"),
                          ("@outputs3", "ok"), ("@dict-outputs", "ok")]:
        add(f"model={_label(model)}", (expect,), model=model)
    for checkpoint, expect in [(None, ("TypeError",)), (3.5, ("TypeError",)), (ckpt + "\0x", ("ValueError",)),
                               ("/dev/null/ckpt", ("NotADirectoryError",)),
                               (os.fsencode(os.path.join(root, "bytes-ckpt")), ("TypeError",))]:
        add(f"checkpoint={_label(checkpoint)}", expect, checkpoint=checkpoint)
    for kwargs, expect in [({"classes": None}, "TypeError"), ({"classes": 5}, "TypeError"),
                           ({"classes": "ab"}, "ok"), ({"info": "@object"}, "TypeError"),
                           ({"info": {"nan": math.nan, "huge": 10 ** 400}}, "ok"), ({"logger": "out"}, "AttributeError"),
                           ({"optimizer": None}, "AttributeError"), ({"metric": None}, "ok"),
                           ({"metric": "mAP"}, "ok"), ({"display": "x"}, "ok"), ({"iou": math.nan}, "ok")]:
        add(f"kwargs {_label(kwargs)}", (expect,), kwargs=kwargs)

    for value in HOSTILE:
        if value == 10 ** 400:
            expect = ("OverflowError",)
        else:
            expect = ("ok",) if _is_number(value) else ("TypeError",)
        add(f"save_model({_label(value)})", expect, target="trainer-save", value=value)
    for metric_value in HOSTILE:
        if metric_value == 10 ** 400:
            expect = ("OverflowError",)
        elif metric_value in (1e308, -1e308):
            expect = ("ValueError",)  # a float, but beyond the float32 of TensorBoard's scalars
        elif _is_number(metric_value):
            expect = ("ok",)
        elif metric_value in ("text", b"bytes"):
            expect = ("ValueError", "TypeError")
        else:
            expect = ("TypeError",)
        add(f"update_metrics value={_label(metric_value)}", expect, target="trainer-update", value=metric_value)
    for metrics, expect in [(None, "AttributeError"), ({}, "AttributeError"), ("@no-family", "AttributeError"),
                            ("@ordered", "TypeError"), ([1], "TypeError")]:
        add(f"update_metrics metrics={_label(metrics)}", (expect,), target="trainer-update-metrics", metrics=metrics)

    for data, expect in [("@wrong-size", ("ValueError",)), ("@wrong-channels", ("ValueError",)),
                         ("@rank3", ("ValueError",)), ("@images-only", ("ValueError",)), (None, ("TypeError",)),
                         ("@nan-images", ("ok",)), ("@float64-images", ("ok",)), ("@string-images", ("ValueError",) + TF_ERRORS),
                         ("@empty-batch", ("ok", "ValueError") + TF_ERRORS)]:
        add(f"train_step data={_label(data)}", expect, target="trainer-step", data=data)
    add("train_step on a released trainer", ("ReferenceError",), target="trainer-released")

    for loop, expect in [("@two-items", ("ValueError",)), ("@class-out-of-range", ("IndexError",)),
                         ("@empty", ("UnboundLocalError",)), ("@not-tensors", ("AttributeError",)),
                         ("@negative-class", ("ok", "IndexError")), ("@nan-class", ("ValueError",))]:
        add(f"run_validation_step loop={loop}", expect, target="trainer-validation", loop=loop)
    for display in (None, -1, 0, 10 ** 30, math.nan, "x"):
        expect = ("TypeError",) if display == "x" else ("ok",)
        add(f"run_validation_step display={_label(display)}", expect, target="trainer-validation", loop="@ok",
            kwargs={"display": display})

    for model, expect in [("@rank3-input", ("ValueError",)), (None, ("AttributeError",)), ("@outputs3", ("ok",))]:
        add(f"to_nchw({_label(model)})", expect, target="trainer-nchw", nchw_model=model)
    for epochs, start, kwargs, expect in [
        ("x", 1, {}, ("TypeError",)), (1, "x", {}, ("TypeError",)), (-5, 1, {}, ("ok",)), (2 ** 64, 2 ** 64, {}, ("ok",)),
        (1.5, 1, {}, ("TypeError",)), (1, 1, {"skip_validation_steps": 0}, ("ZeroDivisionError",)),
        (1, 1, {"skip_validation_steps": "x"}, ("TypeError",)), (1, 1, {"skip_validation_steps": -1}, ("ok",)),
    ]:
        add(f"train(epochs={_label(epochs)}, start={_label(start)}, {kwargs})", expect, target="trainer-train",
            epochs=epochs, start=start, kwargs=kwargs)
    return cases


def make_cases(root, scale=1):
    """The cases, with their folders below `root`. `scale` is accepted for the harness's
    interface; these cases are all hand-written, so it does not change them."""
    del scale
    return _schedule_cases() + _logger_cases(root) + _trainer_cases(root)


# --- the child's side --------------------------------------------------------------------------

def _value(token):
    """The real value of a case value (tokens become objects that cannot be pickled)."""
    if not (isinstance(token, str) and token.startswith("@")):
        return token
    import collections
    import pathlib

    import numpy as np
    import tensorflow as tf

    values = {
        "@object": object,
        "@vector": lambda: tf.constant([1, 2]),
        "@float-tensor": lambda: tf.constant(2.5),
        "@int64-tensor": lambda: tf.constant(7, tf.int64),
        "@variable": lambda: tf.Variable(3, dtype=tf.int64),
        "@path": lambda: pathlib.Path("logs"),
        "@ordered": collections.OrderedDict,
        "@image": lambda: np.zeros((4, 5, 3), np.uint8),
        "@image2d": lambda: np.zeros((4, 5), np.uint8),
        "@image5d": lambda: np.zeros((1, 1, 4, 5, 3), np.uint8),
        "@empty-image": lambda: np.zeros((0, 5, 3), np.uint8),
        "@float-image": lambda: np.full((4, 5, 3), 0.5, np.float32),
        "@nan-image": lambda: np.full((4, 5, 3), np.nan, np.float32),
        "@object-image": lambda: np.array([[object()]], dtype=object),
    }
    return values[token]()


def _model(token):
    import tensorflow as tf

    if not (isinstance(token, str) and token.startswith("@")):
        return token
    inputs = tf.keras.Input((8, 8, 3))
    x = tf.keras.layers.Conv2D(2, 1)(inputs)
    if token.startswith("@outputs"):
        count = int(token[len("@outputs"):])
        outputs = [tf.keras.layers.Conv2D(2, 1, name=f"head{i}")(x) for i in range(count)]
        return tf.keras.Model(inputs, outputs) if count else tf.keras.Model(inputs, [])
    if token == "@dict-outputs":
        return tf.keras.Model(inputs, {f"o{i}": tf.keras.layers.Conv2D(2, 1)(x) for i in range(3)})
    if token == "@rank3-input":
        flat = tf.keras.Input((4, 3))
        return tf.keras.Model(flat, tf.keras.layers.Dense(2)(flat))
    if token == "@subclassed":
        class Subclassed(tf.keras.Model):
            def call(self, x):
                return x
        return Subclassed()
    raise KeyError(token)


class _Loss:
    def compute_loss(self, targets, outputs):
        import tensorflow as tf
        (target,) = targets
        return {"total-loss": tf.reduce_mean(tf.square(outputs[0] - target)) + 0.0 * tf.reduce_mean(outputs[2])}


class _Runner:
    def run_single_instance(self, image):
        import numpy as np
        return np.zeros((1, 4), np.float32), np.array(["a"]), np.array([0.9], np.float32)


class _Evaluator:
    def __init__(self, value=0.5):
        self.runner, self.value = _Runner(), value
        self.current_plots, self.current_summary = {}, "summary\n"

    def __call__(self, val_messenger=None, labels=None):
        pass

    def single_evaluation(self, instances, epoch, add_image):
        return 1

    def conclude(self, truth_values, epoch=None):
        return _metrics(self.value)

    def save_plots_disk(self, plots=None, path=None):
        pass


def _metrics(value):
    families = {f: {t: value for t in ("0.5", "0.75", "0.5:0.95")} for f in ("mAP", "mAR", "mACC")}
    return dict(families, OP=value, OR=value, OA=value)


def _logger(folder):
    from vireo.quillon.callbacks.tensorboard import TensorBoard

    return TensorBoard(folder, ["a", "total-loss", "mAP@0.5"])


def _trainer(case, **overrides):
    import tensorflow as tf
    from vireo.quillon.trainer.detection import DetectionTrainer

    kwargs = {"checkpoint": case["checkpoint"], "classes": ["a", "b"], "display": 1}
    kwargs.update({k: _value(v) for k, v in case.get("kwargs", {}).items()})
    kwargs.update(overrides)
    model = _model(case.get("model", "@outputs3"))
    optimizer = kwargs.pop("optimizer", tf.keras.optimizers.SGD(0.01))
    logger = kwargs.pop("logger", None) or _logger(case["logs"])
    return DetectionTrainer(model, None, optimizer, _Loss(), logger, **kwargs)


_shared = {}


def _shared_trainer(case, **attributes):
    """One trainer per child process for the calls that do not depend on how it was built
    (building and tracing a trainer per case would dominate the corpus's time)."""
    if "trainer" not in _shared:
        _shared["trainer"] = _trainer(dict(case, kwargs={}))
    trainer = _shared["trainer"]
    for name, value in dict({"display": 1, "skip_validation_steps": 1}, **attributes).items():
        setattr(trainer, name, value)
    return trainer


def _batch(token):
    import numpy as np
    import tensorflow as tf

    target = tf.zeros((2, 8, 8, 2))
    batches = {
        "@wrong-size": lambda: (tf.zeros((2, 16, 16, 3), tf.uint8), target),
        "@wrong-channels": lambda: (tf.zeros((2, 8, 8, 1), tf.uint8), target),
        "@rank3": lambda: (tf.zeros((8, 8, 3), tf.uint8), target),
        "@images-only": lambda: (tf.zeros((2, 8, 8, 3), tf.uint8),),
        "@nan-images": lambda: (tf.fill((2, 8, 8, 3), np.nan), target),
        "@float64-images": lambda: (tf.ones((2, 8, 8, 3), tf.float64), target),
        "@string-images": lambda: (tf.fill((2, 8, 8, 3), "x"), target),
        "@empty-batch": lambda: (tf.zeros((0, 8, 8, 3), tf.uint8), tf.zeros((0, 8, 8, 2))),
    }
    return batches[token]() if token in batches else token


def _validation_loop(token):
    import numpy as np
    import tensorflow as tf

    image = tf.zeros((1, 8, 8, 3), tf.uint8)
    name = tf.constant([b"img.png"])

    def boxes(class_id):
        return tf.constant([[[0.1, 0.1, 0.5, 0.5, class_id]]], tf.float32)

    loops = {
        "@ok": lambda: [(image, boxes(1), name)] * 3,
        "@two-items": lambda: [(image, boxes(0))],
        "@class-out-of-range": lambda: [(image, boxes(7), name)],
        "@negative-class": lambda: [(image, boxes(-1), name)],
        "@nan-class": lambda: [(image, boxes(np.nan), name)],
        "@empty": lambda: [],
        "@not-tensors": lambda: [(1, 2, 3)],
    }
    return loops[token]()


def _run_schedule(case):
    from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay

    target = case["target"]
    if target == "schedule":
        schedule = WarmUpCosineDecay(*[_value(v) for v in case["args"]])
        float(schedule(50))  # meets every parameter: the casts, the hold test, the comparison with the total
    elif target == "schedule-step":
        schedule = WarmUpCosineDecay(S, T, W, N, H)
        schedule(_value(case["step"])).numpy()
    elif target == "schedule-config":
        WarmUpCosineDecay.from_config(case["config"])
    elif target == "schedule-unbound":
        WarmUpCosineDecay.__init__(None, S, T, W, N, H)


def _run_logger(case):
    from vireo.quillon.callbacks.tensorboard import TensorBoard

    target = case["target"]
    if target == "logger":
        TensorBoard(_value(case["storage"]), _value(case["names"])).update_metrics({}, {"a": 1.0})
        return
    logger = _logger(case["storage"])
    if target == "logger-update":
        value = {"a": _value(case["value"])}
        if case["where"] == "metrics":
            logger.update_metrics(value, {})
        else:
            logger.update_metrics({}, value)
    elif target == "logger-types":
        logger.update_metrics(_value(case["metrics"]), _value(case["losses"]))
    elif target == "logger-image":
        logger.upload_image(_value(case["caption"]), _value(case["image"]), _value(case["epoch"]))


def _run_trainer(case):
    target = case["target"]
    if target == "trainer":
        _trainer(case)
    elif target == "trainer-save":
        _shared_trainer(case).save_model(_value(case["value"]))
    elif target == "trainer-update":
        _shared_trainer(case).update_metrics(_metrics(_value(case["value"])), epoch=0)
    elif target == "trainer-update-metrics":
        import collections

        metrics = case["metrics"]
        if isinstance(metrics, str):
            metrics = {"@no-family": {"OP": 0.1, "OR": 0.1, "OA": 0.1, "mAP": {"0.5": 0.1}},
                       "@ordered": collections.OrderedDict(_metrics(0.1))}[metrics]
        _shared_trainer(case).update_metrics(metrics)
    elif target == "trainer-step":
        _shared_trainer(case).train_step(_batch(case["data"]))
    elif target == "trainer-released":
        _trainer(case).train_step(_batch("@wrong-size"))
    elif target == "trainer-validation":
        trainer = _shared_trainer(case, **{k: _value(v) for k, v in case.get("kwargs", {}).items()})
        trainer.run_validation_step(_validation_loop(case["loop"]), _Evaluator(), 0)
    elif target == "trainer-nchw":
        _shared_trainer(case).to_nchw(_model(case["nchw_model"]))
    elif target == "trainer-train":
        import tensorflow as tf

        trainer = _shared_trainer(case, **{k: _value(v) for k, v in case.get("kwargs", {}).items()})
        trainer.skip_initial_validation = True
        data = tf.data.Dataset.from_tensors((tf.zeros((1, 8, 8, 3), tf.uint8), tf.zeros((1, 8, 8, 2))))
        trainer.train(_value(case["epochs"]), data, _validation_loop("@ok"), _Evaluator(),
                      start=_value(case["start"]))


def run_case(case):
    import vireo  # noqa: F401  (Keras 2 before TensorFlow loads)

    target = case["target"]
    if target.startswith("schedule"):
        _run_schedule(case)
    elif target.startswith("logger"):
        _run_logger(case)
    else:
        _run_trainer(case)
