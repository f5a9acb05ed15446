"""WarmUpCosineDecay: surface, values, and driving real tf-keras optimizers."""
import inspect
import math

import numpy as np
import pytest
import tensorflow as tf

from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay

S, T, W, N = 0.0001, 0.01, 10, 100
STEP_DTYPES = [tf.int32, tf.int64, tf.float32]


def expected(s, warmup=W, hold=0, total=N, start=S, target=T):
    """The schedule's table, in float64."""
    if s > total:
        return start
    if s < warmup:
        return max(target * s / warmup, start)
    if hold > 0 and s <= warmup + hold:
        return max(target, start)
    return max(0.5 * target * (1 + math.cos(math.pi * (s - warmup - hold) / (total - warmup - hold))), start)


# --- surface ------------------------------------------------------------------------------

def test_is_a_keras_schedule_with_the_listed_methods():
    assert issubclass(WarmUpCosineDecay, tf.keras.optimizers.schedules.LearningRateSchedule)
    assert WarmUpCosineDecay.__module__ == "vireo.quillon.schedulers.scheduler"
    assert [n for n in vars(WarmUpCosineDecay) if not n.startswith("__") or n in ("__init__", "__call__")] == [
        "__init__", "get_warmup", "get_learning_rate", "lr_warmup_cosine_decay", "__call__", "_rate_at_step",
        "get_config"]
    for word in ("start_lr", "target_lr", "warmup_steps", "total_steps", "hold"):
        assert word in WarmUpCosineDecay.__doc__


@pytest.mark.parametrize("name, signature, annotations, is_graph_function", [
    ("__init__", "(self, start_lr: float, target_lr: float, warmup_steps: int, total_steps: int, hold: int)",
     {"start_lr": float, "target_lr": float, "warmup_steps": int, "total_steps": int, "hold": int}, False),
    ("get_warmup", "(self)", {}, True),
    ("get_learning_rate", "(self)", {}, True),
    ("lr_warmup_cosine_decay",
     "(self, global_step, warmup_steps, hold=0, total_steps=0, start_lr=0.0, target_lr=0.001)", {}, True),
    # A plain method, so that eager calls with Python ints are converted before any graph is traced ...
    ("__call__", "(self, step: tensorflow.python.framework.tensor.Tensor)", {"step": tf.Tensor}, False),
    # ... then run by its graph function.
    ("_rate_at_step", "(self, step: tensorflow.python.framework.tensor.Tensor)", {"step": tf.Tensor}, True),
    ("get_config", "(self)", {}, False),
])
def test_method_signatures(name, signature, annotations, is_graph_function):
    method = vars(WarmUpCosineDecay)[name]
    assert isinstance(method, tf.types.experimental.PolymorphicFunction) == is_graph_function
    function = method.python_function if is_graph_function else method
    assert str(inspect.signature(function)) == signature
    assert function.__annotations__ == annotations
    assert function.__qualname__ == "WarmUpCosineDecay." + name


def test_constructor_stores_its_arguments():
    warmup, total, hold = np.int64(10), 100, 0
    s = WarmUpCosineDecay(1, np.float32(0.5), warmup, total, hold)
    assert type(s.start_lr) is float and type(s.target_lr) is float
    assert (s.start_lr, s.target_lr) == (1.0, 0.5)
    assert s.warmup_steps is warmup and s.total_steps is total and s.hold is hold
    assert float(s.get_warmup()) == 0.0 and float(s.get_learning_rate()) == 0.0


class _Twin(tf.keras.optimizers.schedules.LearningRateSchedule):
    def __init__(self, start_lr, target_lr, warmup_steps, total_steps, hold):
        super().__init__()
        self.start_lr = float(start_lr)


@pytest.mark.parametrize("args", [(), (S,), (S, T), (S, T, W), (S, T, W, N), (S, T, W, N, 0, 1)])
def test_wrong_argument_count(args):
    with pytest.raises(TypeError) as native:
        WarmUpCosineDecay(*args)
    with pytest.raises(TypeError) as twin:
        _Twin(*args)
    assert str(native.value) == str(twin.value).replace("_Twin", "WarmUpCosineDecay")


@pytest.mark.parametrize("start, target", [("0.1", T), (S, None), (S, [0.01]), (object(), T)])
def test_non_numeric_rates(start, target):
    with pytest.raises(TypeError):
        WarmUpCosineDecay(start, target, W, N, 0)


@pytest.mark.parametrize("name, value, error", [
    ("start_lr", math.nan, ValueError), ("target_lr", -math.inf, ValueError), ("warmup_steps", math.nan, ValueError),
    ("hold", np.float32("inf"), ValueError), ("warmup_steps", "10", TypeError), ("total_steps", None, TypeError),
    ("hold", 1j, TypeError), ("total_steps", [100], TypeError),
])
def test_refused_parameters_are_named(name, value, error):
    args = dict(start_lr=S, target_lr=T, warmup_steps=W, total_steps=N, hold=0)
    args[name] = value
    with pytest.raises(error, match=f"WarmUpCosineDecay: {name} must be"):
        WarmUpCosineDecay(**args)


def test_step_counts_may_be_tensors():
    schedule = WarmUpCosineDecay(S, T, tf.constant(W), tf.constant(N), 0)
    assert [float(schedule(s)) for s in (5, 55, 101)] == pytest.approx([expected(s) for s in (5, 55, 101)], rel=1e-5)


# --- values -------------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", STEP_DTYPES)
@pytest.mark.parametrize("hold, table", [
    (0, {0: 0.0001, 5: 0.005, 10: 0.01, 55: 0.005, 100: 0.0001, 101: 0.0001, 10 ** 6: 0.0001}),
    (20, {0: 0.0001, 5: 0.005, 10: 0.01, 20: 0.01, 30: 0.01, 31: expected(31, hold=20), 65: 0.005,
          100: 0.0001, 101: 0.0001}),
])
def test_schedule_table(dtype, hold, table):
    schedule = WarmUpCosineDecay(S, T, W, N, hold)
    for step, value in table.items():
        result = schedule(tf.constant(step, dtype))
        assert result.dtype == tf.float32 and result.shape == ()
        assert float(result) == pytest.approx(value, rel=1e-5, abs=1e-9), step


@pytest.mark.parametrize("hold", [0, 7])
def test_every_step_follows_the_table(hold):
    schedule = WarmUpCosineDecay(0.001, 0.1, 8, 40, hold)
    steps = np.arange(0, 45)
    values = [float(schedule(tf.constant(s, tf.int64))) for s in steps]
    np.testing.assert_allclose(values, [expected(s, 8, hold, 40, 0.001, 0.1) for s in steps], rtol=2e-5)


def test_result_is_the_learning_rate_op():
    schedule = WarmUpCosineDecay(S, T, W, N, 0)
    graph = schedule._rate_at_step.get_concrete_function(tf.TensorSpec([], tf.int64)).graph
    assert graph.get_operation_by_name("learning_rate").type == "SelectV2"


def test_zero_warmup_stays_finite():
    schedule = WarmUpCosineDecay(S, T, 0, N, 0)
    assert float(schedule(tf.constant(0))) == pytest.approx(T)
    assert math.isfinite(float(schedule(tf.constant(1))))


def test_total_equal_to_warmup_plus_hold():
    # The cosine denominator is zero: 0/0 at s = N when there is no hold ...
    no_hold = WarmUpCosineDecay(S, T, W, W, 0)
    assert math.isnan(float(no_hold(tf.constant(W))))
    assert float(no_hold(tf.constant(W + 1))) == pytest.approx(S)
    # ... while a hold covers s = N with the target.
    with_hold = WarmUpCosineDecay(S, T, W, W + 5, 5)
    assert float(with_hold(tf.constant(W + 5))) == pytest.approx(T)
    assert float(with_hold(tf.constant(W + 6))) == pytest.approx(S)


def test_direct_call_uses_defaults_and_the_attribute_floor():
    schedule = WarmUpCosineDecay(0.002, T, W, N, 0)
    # target_lr defaults to 0.001: half way up the warm-up gives 0.0005, floored by self.start_lr
    assert float(schedule.lr_warmup_cosine_decay(tf.constant(5.0), tf.constant(10.0))) == pytest.approx(0.002)
    assert float(schedule.lr_warmup_cosine_decay(tf.constant(5.0), tf.constant(10.0), start_lr=1.0)) == \
        pytest.approx(0.002)


@pytest.mark.parametrize("hold, step, warmup_value, decay_value", [
    (0, 5, 0.005, 0.5 * T * (1 + math.cos(math.pi * (5 - W) / (N - W)))),  # cosine before the warm-up choice
    (20, 5, 0.005, T),
    (0, 55, 0.055, 0.005),
])
def test_latest_evaluation_is_readable(hold, step, warmup_value, decay_value):
    schedule = WarmUpCosineDecay(S, T, W, N, hold)
    schedule(tf.constant(step))
    assert float(schedule.get_warmup()) == pytest.approx(warmup_value, rel=1e-5)
    assert float(schedule.get_learning_rate()) == pytest.approx(decay_value, rel=1e-5)


def test_values_readable_after_a_graph_evaluation():
    schedule = WarmUpCosineDecay(S, T, W, N, 0)
    tf.function(lambda step: schedule(step))(tf.constant(3, tf.int64))
    assert float(schedule.get_warmup()) == pytest.approx(0.003, rel=1e-5)


# --- driving optimizers ---------------------------------------------------------------------

@pytest.mark.parametrize("make_optimizer", [tf.keras.optimizers.legacy.SGD, tf.keras.optimizers.SGD],
                         ids=["legacy-SGD", "SGD"])
def test_drives_an_optimizer(make_optimizer, capfd):
    schedule = WarmUpCosineDecay(0.001, 0.1, 4, 12, 2)
    optimizer = make_optimizer(learning_rate=schedule)
    variable = tf.Variable(0.0)

    @tf.function
    def train_step():
        with tf.GradientTape() as tape:
            loss = 1.0 * variable  # gradient 1: each update is minus the learning rate
        optimizer.apply_gradients([(tape.gradient(loss, variable), variable)])
        return schedule(optimizer.iterations)

    for step in range(15):
        before = float(variable.numpy())
        assert int(optimizer.iterations) == step
        train_step()
        applied = before - float(variable.numpy())
        assert applied == pytest.approx(float(schedule(tf.constant(step, tf.int64))), rel=1e-4), step
        assert applied == pytest.approx(expected(step, 4, 2, 12, 0.001, 0.1), rel=1e-4), step
    out, err = capfd.readouterr()
    assert "AutoGraph" not in out + err


# --- plain numbers, saving, misuse ----------------------------------------------------------

def test_python_ints_share_one_graph(capfd):
    schedule = WarmUpCosineDecay(S, T, W, N, 20)
    steps = list(range(0, 120, 7)) + [np.int64(65), 65.0]
    values = [float(schedule(step)) for step in steps]
    np.testing.assert_allclose(values, [expected(float(s), hold=20) for s in steps], rtol=1e-5)
    assert schedule._rate_at_step.experimental_get_tracing_count() <= 3  # one per dtype: int32, int64, float32
    assert "retracing" not in capfd.readouterr().err


def test_get_config_rebuilds_an_equal_schedule():
    schedule = WarmUpCosineDecay(S, T, W, N, 20)
    config = schedule.get_config()
    assert config == {"start_lr": S, "target_lr": T, "warmup_steps": W, "total_steps": N, "hold": 20}
    rebuilt = WarmUpCosineDecay.from_config(config)
    assert [float(rebuilt(s)) for s in (0, 10, 31, 65, 101)] == [float(schedule(s)) for s in (0, 10, 31, 65, 101)]


def compiled_model(optimizer):
    inputs = tf.keras.Input((3,))
    model = tf.keras.Model(inputs, tf.keras.layers.Dense(1)(inputs))
    model.compile(optimizer, "mse")
    model.fit(np.ones((4, 3), np.float32), np.zeros((4, 1), np.float32), verbose=0, epochs=3)
    return model


@pytest.mark.parametrize("suffix", [".h5", ".keras"])
@pytest.mark.parametrize("legacy", [False, True], ids=["SGD", "legacy-SGD"])
def test_model_compiled_on_the_schedule_saves_and_loads(tmp_path, suffix, legacy):
    schedule = WarmUpCosineDecay(0.001, 0.1, 4, 12, 2)
    optimizers = tf.keras.optimizers.legacy if legacy else tf.keras.optimizers
    model = compiled_model(optimizers.SGD(schedule))
    path = str(tmp_path / ("model" + suffix))
    model.save(path)
    loaded = tf.keras.models.load_model(path, custom_objects={"WarmUpCosineDecay": WarmUpCosineDecay})
    # tf-keras' new optimizers keep the schedule behind a variable of its latest value.
    restored = loaded.optimizer.lr if legacy else loaded.optimizer._learning_rate
    assert type(restored) is WarmUpCosineDecay and restored.get_config() == schedule.get_config()
    assert [float(restored(s)) for s in range(16)] == [float(schedule(s)) for s in range(16)]


@pytest.mark.parametrize("wrong_self, error", [(object(), TypeError), (3, TypeError), (None, AttributeError)])
def test_unbound_init_with_a_wrong_self(wrong_self, error):
    with pytest.raises(error) as native:
        WarmUpCosineDecay.__init__(wrong_self, S, T, W, N, 0)
    with pytest.raises(error) as twin:
        _Twin.__init__(wrong_self, S, T, W, N, 0)
    assert str(native.value) == str(twin.value)


def test_graph_method_of_a_released_schedule_says_so():
    with pytest.raises(ReferenceError, match="released before this call"):
        WarmUpCosineDecay(S, T, W, N, 0).get_warmup()
