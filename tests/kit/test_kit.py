"""The kit's native functions and classes, through the probe module _kit_probe.

Each native function is compared with a pure-Python twin of the same name and signature:
whatever Python code can observe (binding, signatures, error texts) must be the same.
"""
import builtins
import collections
import contextlib
import gc
import inspect
import io
import logging
import os
import pickle
import sys
import types
import weakref

import numpy as np
import pytest
import tensorflow as tf

import _kit_probe as k


# --- pure-Python twins ----------------------------------------------------------------------

def echo(a, b: str = None, c: list = None, d: dict = None, e: int = 3) -> tuple:
    return a, b, c, d, e


def triple(a, b, c):
    return a, b, c


def single(a):
    return a


def nothing():
    return None


class Scaler:
    def __init__(self, factor: float = 2.0):
        self.factor = factor

    def scale(self, x: tf.Tensor):
        return x

    def takes_list(self, items: list):
        return items


TWINS = {"echo": echo, "triple": triple, "single": single, "nothing": nothing}


def error_text(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


# --- binding ------------------------------------------------------------------------------

def test_methods_bind_like_functions():
    raw = k.Scaler.__dict__["scale"]
    s = k.Scaler(3.0)
    assert k.Scaler.scale is raw
    assert raw.__get__(None, k.Scaler) is raw
    bound = s.scale
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is s and bound.__func__ is raw
    assert raw.__get__(s, k.Scaler) == bound
    assert float(k.Scaler.scale(s, tf.constant(2))) == 6.0
    assert float(bound(tf.constant(2))) == 6.0
    s.scale = "shadowed"  # a non-data descriptor: the instance dictionary wins
    assert s.scale == "shadowed"


def test_class_surface_and_python_base():
    s = k.Scaler()
    assert k.Scaler.__doc__ == "Scales tensors."
    assert k.Scaler.__module__ == "_kit_probe" and k.Scaler.__qualname__ == "Scaler"
    assert k.Scaler.__bases__[0].__name__ == "ProbeBase"
    assert [n for n in vars(k.Scaler) if not n.startswith("__") or n == "__init__"] == [
        "unit", "__init__", "scale", "scale_graph", "numpy_double", "base_greeting", "takes_list"]
    assert k.Scaler.unit == 1 and s.factor == 2.0
    assert s.base_greeting() == "base"  # super(Scaler, self) resolves through the Python base


# --- introspection ------------------------------------------------------------------------

@pytest.mark.parametrize("name", sorted(TWINS))
def test_function_signature_matches_python(name):
    native = getattr(k, name)
    assert inspect.signature(native) == inspect.signature(TWINS[name])
    assert native.__defaults__ == TWINS[name].__defaults__
    assert native.__kwdefaults__ is None
    assert native.__annotations__ == TWINS[name].__annotations__


@pytest.mark.parametrize("method", ["__init__", "scale", "takes_list"])
def test_method_signatures_unbound_and_bound(method):
    native, twin = getattr(k.Scaler, method), getattr(Scaler, method)
    assert inspect.signature(native) == inspect.signature(twin)
    assert list(inspect.signature(native).parameters)[0] == "self"
    if method != "__init__":
        assert inspect.signature(getattr(k.Scaler(), method)) == inspect.signature(getattr(Scaler(), method))


def test_annotations_and_defaults_are_the_real_objects():
    assert k.echo.__annotations__ == {"b": str, "c": list, "d": dict, "e": int, "return": tuple}
    assert k.Scaler.scale.__annotations__["x"] is tf.Tensor
    assert k.Scaler.numpy_double.__annotations__["x"] is np.ndarray
    assert k.Scaler.__init__.__defaults__ == (2.0,)
    assert inspect.signature(k.echo).parameters["b"].default is None
    assert k.echo.__signature__ is k.echo.__signature__  # built once


def test_names_doc_and_repr():
    assert (k.echo.__name__, k.echo.__qualname__, k.echo.__module__) == ("echo", "echo", "_kit_probe")
    assert k.echo.__doc__ == "Returns its arguments."
    m = k.Scaler.scale
    assert (m.__name__, m.__qualname__, m.__module__, m.__doc__) == ("scale", "Scaler.scale", "_kit_probe", None)
    assert repr(k.echo).startswith("<function echo at 0x")


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_name_assignment_rules_match_python(attr):
    fresh = k.make_holder(None)
    setattr(fresh, attr, "renamed")
    assert getattr(fresh, attr) == "renamed"
    assert error_text(setattr, fresh, attr, 1) == error_text(setattr, nothing, attr, 1)


@pytest.mark.parametrize("attr", ["__code__", "__wrapped__", "__func__", "__globals__"])
def test_no_code_object_is_published(attr):
    assert not hasattr(k.echo, attr)
    assert not hasattr(k.Scaler.scale, attr)


# --- the argument type rule ---------------------------------------------------------------

class StrSub(str):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize("kwargs, failing, expected, got", [
    ({"b": 1}, "b", "str", "int"),
    ({"b": b"x"}, "b", "str", "bytes"),
    ({"b": StrSub("x")}, "b", "str", "StrSub"),
    ({"c": (1,)}, "c", "list", "tuple"),
    ({"c": ListSub()}, "c", "list", "ListSub"),
    ({"d": collections.OrderedDict()}, "d", "dict", "collections.OrderedDict"),
    ({"d": collections.defaultdict(int)}, "d", "dict", "collections.defaultdict"),
    ({"d": 1, "b": 2}, "b", "str", "int"),           # first failure in signature order
    ({"c": "x", "d": "y"}, "c", "list", "str"),
])
def test_type_rule_refuses_other_types(kwargs, failing, expected, got):
    message = error_text(k.echo, 0, **kwargs)
    assert message == "Argument '%s' has incorrect type (expected %s, got %s)" % (failing, expected, got)


def test_type_rule_applies_to_positional_arguments_and_methods():
    assert error_text(k.echo, 0, "s", (1,)) == "Argument 'c' has incorrect type (expected list, got tuple)"
    assert error_text(k.Scaler().takes_list, {}) == "Argument 'items' has incorrect type (expected list, got dict)"


def test_type_rule_accepts_exact_types_none_and_unenforced_annotations():
    assert k.echo(0, "s", [1], {"k": 1}) == (0, "s", [1], {"k": 1}, 3)
    assert k.echo(0, None, None, None, None) == (0, None, None, None, None)
    assert k.echo(0, e="not an int") == (0, None, None, None, "not an int")  # int is published only
    assert k.Scaler().numpy_double([1]) == [1, 1]  # np.ndarray is published only


def test_arity_errors_come_before_the_type_rule():
    assert error_text(k.echo, b=1) == "echo() missing 1 required positional argument: 'a'"


# --- CPython's argument errors ------------------------------------------------------------

ARITY_CASES = [
    ("nothing", (1,), {}),
    ("nothing", (), {"a": 1}),
    ("single", (), {}),
    ("single", (1, 2), {}),
    ("single", (1,), {"a": 2}),
    ("single", (1,), {"b": 2}),
    ("triple", (), {}),
    ("triple", (1,), {}),
    ("triple", (1, 2), {}),
    ("triple", (1,), {"c": 3}),
    ("triple", (), {"b": 2}),
    ("triple", (1, 2, 3, 4), {}),
    ("triple", (1, 2, 3), {"b": 1}),
    ("echo", (), {}),
    ("echo", (), {"e": 1}),
    ("echo", (1, 2, 3, 4, 5, 6), {}),
    ("echo", (1,), {"z": 2}),
    ("echo", (1,), {"a": 2}),
]

# An unknown or repeated keyword is reported before too many positional arguments.
ARITY_KEYWORD_FIRST = [
    ("triple", (1, 2, 3, 4), {"z": 1}),
    ("echo", (1, 2, 3, 4, 5, 6), {"z": 1}),
    ("echo", (1, 2, 3, 4, 5, 6), {"a": 1}),
]


@pytest.mark.parametrize("name, args, kwargs", ARITY_CASES + ARITY_KEYWORD_FIRST)
def test_arity_errors_match_python(name, args, kwargs):
    assert error_text(getattr(k, name), *args, **kwargs) == error_text(TWINS[name], *args, **kwargs)


@pytest.mark.parametrize("call", [
    lambda cls: cls.scale(),
    lambda cls: cls.scale(cls()),
    lambda cls: cls().scale(),
    lambda cls: cls().scale(1, 2),
    lambda cls: cls().scale(self=1),
    lambda cls: cls().scale(1, x=2),
    lambda cls: cls(1, 2),
    lambda cls: cls(factor=1, scale=2),
])
def test_method_arity_errors_match_python(call):
    assert error_text(call, k.Scaler) == error_text(call, Scaler)


# --- lifetime, weak references, pickling ----------------------------------------------------

def test_no_reference_leaks_on_success_and_failure():
    x = object()
    before = sys.getrefcount(x)
    for _ in range(200):
        k.echo(x, e=x)
        with pytest.raises(TypeError):
            k.echo(x, b=x)
        with pytest.raises(TypeError):
            k.triple(x, x)
    assert sys.getrefcount(x) == before


class Payload:
    pass


def test_captured_objects_are_released_with_the_function():
    payload = Payload()
    alive = weakref.ref(payload)
    held = k.make_holder(payload)
    del payload
    assert held() is alive()
    function_ref = weakref.ref(held)
    del held
    gc.collect()
    assert function_ref() is None and alive() is None


@pytest.mark.parametrize("make_cycle", [
    # class -> method -> module state -> class
    lambda payload: k.make_cycle_class(payload),
    # function -> __dict__ -> function
    lambda payload: _with_dict_cycle(k.make_holder(payload)),
    # function -> default -> list -> function
    lambda payload: _with_default_cycle(payload),
], ids=["context", "dict", "defaults"])
def test_reference_cycles_through_native_functions_are_collected(make_cycle):
    payload = Payload()
    alive = weakref.ref(payload)
    cycle = weakref.ref(make_cycle(payload))
    del payload
    gc.collect()
    assert cycle() is None and alive() is None


def _with_dict_cycle(function):
    function.__dict__["me"] = function
    return function


def _with_default_cycle(payload):
    box = [payload]
    function = k.with_default(box)
    box.append(function)
    return function


def test_module_state_reaches_the_body():
    payload = Payload()
    cls = k.make_cycle_class(payload)
    assert cls().payload() is payload and cls().own_class() is cls


def test_lone_surrogate_keyword_is_an_unexpected_keyword():
    name = "\udcff"
    assert error_text(k.echo, 1, **{name: 2}) == error_text(echo, 1, **{name: 2})


class StrSub(str):
    pass


Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize("kind, value", [
    ("float", np.float64(1.5)), ("float", np.float32(0.1)), ("float", True), ("float", "2.5"), ("float", 3),
    ("int", True), ("int", np.int64(7)), ("int", 2.9), ("int", "12"),
    ("str", StrSub("a")), ("str", 1.5), ("str", np.float64(0.25)),
    ("tuple", Point(1, 2)), ("tuple", [1, 2]), ("list", Point(1, 2)), ("list", (3,)),
])
def test_conversions_match_python_builtins(kind, value):
    expected = getattr(builtins, kind)(value)
    got = k.convert(kind, value)
    assert type(got) is type(expected) and got == expected


@pytest.mark.parametrize("kind, value", [("float", "x"), ("int", None), ("tuple", 3)])
def test_conversion_errors_match_python(kind, value):
    with pytest.raises(Exception) as expected:
        getattr(builtins, kind)(value)
    with pytest.raises(type(expected.value)) as got:
        k.convert(kind, value)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("a, b, op", [(1, 2, "<"), (float("nan"), float("nan"), "=="), ("a", "a", "!="), (3, 3.0, ">=")])
def test_comparisons_match_python(a, b, op):
    expected = eval(f"a {op} b")
    assert k.compare(a, b, op) == (expected, bool(expected))
    with pytest.raises(ValueError):  # the truth of an array is ambiguous, as in Python
        k.compare(np.array([1, 5]), np.array([2, 2]), op)


def test_weak_references():
    assert weakref.ref(k.echo)() is k.echo
    table = weakref.WeakValueDictionary({"m": k.Scaler.scale})
    assert table["m"] is k.Scaler.scale


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_by_qualified_name(protocol):
    assert k.echo.__reduce__() == "echo"
    assert pickle.loads(pickle.dumps(k.echo, protocol)) is k.echo
    assert pickle.loads(pickle.dumps(k.Scaler.scale, protocol)) is k.Scaler.scale


# --- exceptions and output helpers ----------------------------------------------------------

def test_raise_gives_the_exact_type():
    with pytest.raises(FileNotFoundError) as info:
        k.raise_file_not_found("no such folder")
    assert type(info.value) is FileNotFoundError and info.value.args == ("no such folder",)
    with pytest.raises(ValueError) as info:
        k.raise_value_error_args("first", 2)
    assert type(info.value) is ValueError and info.value.args == ("first", 2)


@pytest.mark.parametrize("kind, exc_type, text", [
    ("invalid_argument", ValueError, "bad argument"),
    ("out_of_range", IndexError, "out of range"),
    ("runtime_error", RuntimeError, "runtime failure"),
    ("other", RuntimeError, "Caught an unknown exception!"),
])
def test_cpp_exceptions_become_python_exceptions(kind, exc_type, text):
    with pytest.raises(exc_type) as info:
        k.throw_cpp(kind)
    assert type(info.value) is exc_type and str(info.value) == text


def test_print_goes_through_python_print(capsys):
    print("before")
    k.say("native")
    print("after")
    assert capsys.readouterr().out == "before\nnative\nafter\n"
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        k.say(42)
    assert buffer.getvalue() == "42\n"


def test_warn_uses_python_warnings():
    with pytest.warns(UserWarning, match="^careful$"):
        k.warn("careful")


def unpack_one(value):
    a, = value
    return a,


def unpack_two(value):
    a, b = value
    return a, b


def unpack_three(value):
    a, b, c = value
    return a, b, c


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # compared by type and text
        return type(e), str(e)


@pytest.mark.parametrize("value", [[1, 2], (1,), "abc", range(5), {"a": 1}, None, 3.5])
@pytest.mark.parametrize("n, twin", [(1, unpack_one), (2, unpack_two), (3, unpack_three)])
def test_unpack_matches_python(value, n, twin):
    assert outcome(k.unpack, value, n) == outcome(twin, value)


class Manager:
    def __init__(self, suppress=False):
        self.suppress, self.calls = suppress, []

    def __enter__(self):
        self.calls.append("enter")
        return "value"

    def __exit__(self, *exc):
        self.calls.append(("exit", exc[0]))
        return self.suppress

    def close(self):
        self.calls.append("close")
        if self.suppress:
            raise OSError("close failed")


def dict_find_twin(d, key):
    return (True, d[key]) if key in d else (False, None)


@pytest.mark.parametrize("key", ["a", "missing", 1, 1.0, (1, 2), ["unhashable"], {}])
def test_dict_find_matches_python(key):
    d = {"a": None, 1: "one", (1, 2): [3]}
    assert outcome(k.dict_find, d, key) == outcome(dict_find_twin, d, key)


def test_with_block_runs_exit_and_may_suppress():
    m = Manager()
    assert k.with_block(m, lambda v: v * 2) == "valuevalue" and m.calls == ["enter", ("exit", None)]
    m = Manager()
    with pytest.raises(KeyError):
        k.with_block(m, lambda v: {}["missing"])
    assert m.calls == ["enter", ("exit", KeyError)]
    m = Manager(suppress=True)
    assert k.with_block(m, lambda v: 1 / 0) is None and m.calls == ["enter", ("exit", ZeroDivisionError)]


def test_closing_closes_on_every_way_out_and_keeps_the_body_error():
    m = Manager()
    assert k.closing(m, lambda r: r is m) is True and m.calls == ["close"]
    m = Manager()
    with pytest.raises(KeyError):
        k.closing(m, lambda r: {}["missing"])
    assert m.calls == ["close"]
    m = Manager(suppress=True)  # close() fails as well: the body's error is the one raised
    with pytest.raises(KeyError):
        k.closing(m, lambda r: {}["missing"])
    with pytest.raises(OSError):
        k.closing(Manager(suppress=True), lambda r: None)


# --- TensorFlow ---------------------------------------------------------------------------

def test_tf_function_traces_a_method_with_symbolic_tensors():
    s = k.Scaler(3.0)
    graph_fn = tf.function(s.scale, input_signature=[tf.TensorSpec([None], tf.int32)])
    concrete = graph_fn.get_concrete_function()
    ops = [op.type for op in concrete.graph.get_operations()]
    assert "Cast" in ops and "Mul" in ops and "EagerPyFunc" not in ops
    np.testing.assert_array_equal(concrete(tf.constant([1, 2])), [3.0, 6.0])
    # the class stores scale_graph wrapped by tf.function; it binds and retraces per dtype
    np.testing.assert_array_equal(s.scale_graph(tf.constant([2.0, 4.0])), [6.0, 12.0])
    np.testing.assert_array_equal(s.scale_graph(tf.constant([2, 4])), [6.0, 12.0])


def test_py_function_numpy_function_and_dataset_map():
    s = k.Scaler(2.0)
    x = tf.constant([1, 2], tf.int32)
    np.testing.assert_array_equal(tf.py_function(s.numpy_double, [x], tf.int32), [2, 4])
    np.testing.assert_array_equal(tf.numpy_function(s.numpy_double, [x], tf.int32), [2, 4])
    np.testing.assert_array_equal(tf.py_function(k.single, [x], tf.int32), [1, 2])
    ds = tf.data.Dataset.range(4)
    assert list(ds.map(s.scale).as_numpy_iterator()) == [0.0, 2.0, 4.0, 6.0]
    assert list(ds.map(k.single).as_numpy_iterator()) == [0, 1, 2, 3]
    threaded = ds.map(lambda v: tf.py_function(s.numpy_double, [v], tf.int64), num_parallel_calls=tf.data.AUTOTUNE)
    assert sorted(threaded.as_numpy_iterator()) == [0, 2, 4, 6]


class _Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


@pytest.fixture
def tf_log():
    from tensorflow.python.autograph.utils import ag_logging
    assert ag_logging.get_verbosity() == 0  # default verbosity: nothing is hidden
    handler = _Records()
    logger = logging.getLogger("tensorflow")
    logger.addHandler(handler)
    yield handler.messages
    logger.removeHandler(handler)


class _Target:
    pass


def test_no_autograph_warning_anywhere(tf_log, capfd):
    s = k.Scaler(2.0)
    ds = tf.data.Dataset.range(3)
    list(ds.map(s.scale).as_numpy_iterator())
    list(ds.map(k.Scaler.scale.__get__(k.Scaler(1.0))).as_numpy_iterator())
    list(ds.map(k.single).as_numpy_iterator())
    list(ds.map(k.make_holder(1.0)).as_numpy_iterator())
    tf.function(s.scale)(tf.constant([1.0]))
    tf.function(k.single)(tf.constant(1))
    tf.function(types.MethodType(k.make_holder(2.0), _Target()))(tf.constant(1.0))
    s.scale_graph(tf.constant([1.0, 2.0, 3.0]))
    out, err = capfd.readouterr()
    text = out + err + "\n".join(tf_log)
    assert "could not transform" not in text and "AutoGraph" not in text


def test_a_code_attribute_would_trigger_the_warning(tf_log, capfd):
    # Control for the test above: the capture does see AutoGraph's warning when a native
    # function pretends to have Python source.
    ns = {}
    exec(compile("def held(self, x):\n    return x\n", "/nonexistent/held.py", "exec"), ns)
    fake = k.make_holder(1.0)
    fake.__code__ = ns["held"].__code__
    tf.function(types.MethodType(fake, _Target()))(tf.constant(1.0))
    out, err = capfd.readouterr()
    assert "could not transform" in out + err + "\n".join(tf_log)


def test_import_optional_gives_nothing_only_for_a_missing_module_or_name(tmp_path, monkeypatch):
    (tmp_path / "probe_broken_module.py").write_text("raise ValueError('broken at import')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert k.import_optional("os.path", "join") is os.path.join
    assert k.import_optional("no_such_module_here", "x") is None
    assert k.import_optional("os.path", "no_such_name") is None
    with pytest.raises(ValueError, match="broken at import"):
        k.import_optional("probe_broken_module", "x")
