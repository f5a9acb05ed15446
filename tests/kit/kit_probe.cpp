// A test-only module exercising the kit: a plain function, a class built over a Python
// base, a tf.function-wrapped method and helpers. Built by `make setup` beside the kit tests.
#include <pykit.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;
using pykit::arg;

namespace {

// The state of a class made by make_cycle_class: it refers to the class whose methods hold it,
// a cycle that only the collector can free.
struct CycleState : pykit::Captures {
    pykit::Ref cls{this};
    pykit::Ref payload{this};
};

py::object cycle_payload(const CycleState& state, const py::object&) { return state.payload; }

// The probe's own state: the Scaler class (for super()) and TensorFlow.
struct ProbeState : pykit::Captures {
    pykit::Ref tf{this};
    pykit::Ref Scaler{this};
};

py::object echo_body(const py::object& a, const py::object& b, const py::object& c, const py::object& d,
                     const py::object& e) {
    return py::make_tuple(a, b, c, d, e);
}

py::object scale(const ProbeState& s, const py::object& self, const py::object& x) {
    return s.tf.attr("cast")(x, s.tf.attr("float32")) * self.attr("factor");
}

py::object base_greeting(const ProbeState& s, const py::object& self) {
    return pykit::super(s.Scaler, self).attr("greeting");
}

// make_holder(obj): held(a=None, b=None) returns obj, kept in the function's own state.
struct HolderState : pykit::Captures {
    pykit::Ref obj{this};
};

py::object held(const HolderState& s, const py::object&, const py::object&) { return s.obj; }
py::object cycle_class(const CycleState& state, const py::object&) { return state.cls; }

// convert(kind, value): Python's float(), int(), str(), tuple() or list() through the kit.
py::object convert(const py::object& kind, const py::object& value) {
    std::string k = py::str(kind);
    if (k == "float") return pykit::as_float(value);
    if (k == "int") return pykit::as_int(value);
    if (k == "str") return pykit::as_str(value);
    if (k == "tuple") return pykit::as_tuple(value);
    if (k == "list") return pykit::as_list(value);
    throw std::invalid_argument("unknown conversion: " + k);
}

// compare(a, b, op): (a op b, bool(a op b), a in b-as-container) through the kit's helpers.
py::object compare(const py::object& a, const py::object& b, const py::object& op) {
    static const char* const names[] = {"<", "<=", "==", "!=", ">", ">="};
    std::string text = py::str(op);
    for (int i = 0; i < 6; ++i)
        if (text == names[i]) return py::make_tuple(pykit::compare(a, b, i), pykit::holds(a, b, i));
    throw std::invalid_argument("unknown operator: " + text);
}

}  // namespace

PYBIND11_MODULE(_kit_probe, m) {
    const std::string module = "_kit_probe";
    py::object builtins = py::module_::import("builtins");
    py::object str_t = builtins.attr("str"), list_t = builtins.attr("list"), dict_t = builtins.attr("dict");
    py::object int_t = builtins.attr("int"), bool_t = builtins.attr("bool");
    py::object tf = py::module_::import("tensorflow");
    py::object np = py::module_::import("numpy");

    // echo(a, b: str = None, c: list = None, d: dict = None, e: int = 3) -> tuple of its arguments
    py::object echo = pykit::function(
        "echo",
        {arg("a"), arg("b").ann(str_t).def(py::none()), arg("c").ann(list_t).def(py::none()),
         arg("d").ann(dict_t).def(py::none()), arg("e").ann(int_t).def(py::int_(3))},
        &echo_body, "Returns its arguments.",
        builtins.attr("tuple"));
    pykit::set_names(echo, module, "echo");
    m.attr("echo") = echo;

    py::object raiser = pykit::function("raise_file_not_found", {arg("message")}, [](py::object message) {
        pykit::raise(PyExc_FileNotFoundError, py::str(message));
    });
    pykit::set_names(raiser, module, "raise_file_not_found");
    m.attr("raise_file_not_found") = raiser;

    py::object raise_two = pykit::function("raise_value_error_args", {arg("a"), arg("b")},
                                           [](py::object a, py::object b) {
                                               pykit::raise_args(PyExc_ValueError, py::make_tuple(a, b));
                                           });
    pykit::set_names(raise_two, module, "raise_value_error_args");
    m.attr("raise_value_error_args") = raise_two;

    py::object say = pykit::function("say", {arg("text")}, [](py::object text) { pykit::print(text); });
    pykit::set_names(say, module, "say");
    m.attr("say") = say;

    py::object warn = pykit::function("warn", {arg("text")}, [](py::object text) { pykit::warn(py::str(text)); });
    pykit::set_names(warn, module, "warn");
    m.attr("warn") = warn;

    // unpack(value, n): the tuple `a, b, ... = value` would give, through pykit::unpack.
    py::object unpack = pykit::function("unpack", {arg("value"), arg("n")}, [](py::object value, py::object n) {
        std::vector<py::object> items = pykit::unpack(value, n.cast<size_t>());
        py::tuple out(items.size());
        for (size_t i = 0; i < items.size(); ++i) out[i] = items[i];
        return out;
    });
    pykit::set_names(unpack, module, "unpack");
    m.attr("unpack") = unpack;

    // dict_find(d, key): (True, d[key]) through pykit::dict_find, (False, None) when missing.
    py::object dict_find = pykit::function("dict_find", {arg("d"), arg("key")}, [](py::object d, py::object key) {
        py::object found = pykit::dict_find(d, key);
        if (!found) return py::object(py::make_tuple(false, py::none()));
        return py::object(py::make_tuple(true, found));
    });
    pykit::set_names(dict_find, module, "dict_find");
    m.attr("dict_find") = dict_find;

    // with_block(manager, body): `with manager as v: return body(v)`; None when __exit__ suppresses.
    py::object with_block = pykit::function("with_block", {arg("manager"), arg("body")},
                                            [](py::object manager, py::object body) {
                                                py::object result = py::none();
                                                pykit::with(manager, [&](py::object v) { result = body(v); });
                                                return result;
                                            });
    pykit::set_names(with_block, module, "with_block");
    m.attr("with_block") = with_block;

    // closing(resource, body): body(resource), then resource.close() on every way out.
    py::object closing = pykit::function("closing", {arg("resource"), arg("body")},
                                         [](py::object resource, py::object body) {
                                             return pykit::closing(resource, body);
                                         });
    pykit::set_names(closing, module, "closing");
    m.attr("closing") = closing;

    // Fixed arities for comparing CPython's argument errors.
    py::object triple = pykit::function("triple", {arg("a"), arg("b"), arg("c")},
                                        [](py::object a, py::object b, py::object c) { return py::make_tuple(a, b, c); });
    pykit::set_names(triple, module, "triple");
    m.attr("triple") = triple;

    py::object optional = pykit::function("import_optional", {arg("module"), arg("name")},
                                          [](py::object module, py::object name) {
                                              py::object value = pykit::import_optional(
                                                  py::str(module).cast<std::string>().c_str(),
                                                  py::str(name).cast<std::string>().c_str());
                                              return value ? value : py::object(py::none());
                                          });
    pykit::set_names(optional, module, "import_optional");
    m.attr("import_optional") = optional;

    py::object single = pykit::function("single", {arg("a")}, [](py::object a) { return a; });
    pykit::set_names(single, module, "single");
    m.attr("single") = single;

    py::object nothing = pykit::function("nothing", {}, []() { return py::none(); });
    pykit::set_names(nothing, module, "nothing");
    m.attr("nothing") = nothing;

    // make_holder(obj): a new native function held(a=None, b=None) that captures obj and returns it.
    py::object make_holder = pykit::function("make_holder", {arg("obj")}, [](py::object obj) {
        auto context = pykit::make_context<HolderState>();
        context->obj = obj;
        return pykit::function("held", {arg("a").def(py::none()), arg("b").def(py::none())}, &held, nullptr, {},
                               context.object);
    });
    pykit::set_names(make_holder, module, "make_holder");
    m.attr("make_holder") = make_holder;

    // throw_cpp(kind): throws a C++ exception of the named kind.
    py::object throw_cpp = pykit::function("throw_cpp", {arg("kind")}, [](py::object kind) {
        std::string k = py::str(kind);
        if (k == "invalid_argument") throw std::invalid_argument("bad argument");
        if (k == "out_of_range") throw std::out_of_range("out of range");
        if (k == "runtime_error") throw std::runtime_error("runtime failure");
        throw 42;  // not a std::exception
    });
    pykit::set_names(throw_cpp, module, "throw_cpp");
    m.attr("throw_cpp") = throw_cpp;

    // A Python base class defined by the test module is passed in later; here the base is a
    // plain Python class made on the spot so that `super()` goes through Python code.
    py::object base = builtins.attr("type")("ProbeBase", py::make_tuple(),
                                           py::dict(py::arg("greeting") = py::str("base")));
    auto context = pykit::make_context<ProbeState>();
    context->tf = tf;
    pykit::ClassBuilder(module, "Scaler", py::make_tuple(base), context.object)
        .doc("Scales tensors.")
        .attr("unit", py::int_(1))
        .def("__init__", {arg("self"), arg("factor").ann(py::module_::import("builtins").attr("float")).def(py::float_(2.0))},
             [](py::object self, py::object factor) { self.attr("factor") = factor; })
        .def("scale", {arg("self"), arg("x").ann(tf.attr("Tensor"))}, &scale)
        .def_wrapped(tf.attr("function"), "scale_graph", {arg("self"), arg("x").ann(tf.attr("Tensor"))}, &scale)
        .def("numpy_double", {arg("self"), arg("x").ann(np.attr("ndarray"))},
             [](py::object, py::object x) { return x * py::int_(2); })
        .def("base_greeting", {arg("self")}, &base_greeting)
        .def("takes_list", {arg("self"), arg("items").ann(list_t)}, [](py::object, py::object items) { return items; })
        .build(m, context->Scaler);

    // make_cycle_class(payload): a new class whose methods' context refers back to the class.
    py::object make_cycle_class = pykit::function("make_cycle_class", {arg("payload")}, [](py::object payload) {
        auto context = pykit::make_context<CycleState>();
        context->payload = payload;
        py::module_ scratch = py::module_::import("types").attr("ModuleType")("_kit_probe_scratch");
        return pykit::ClassBuilder("_kit_probe", "Cycle", py::tuple(), context.object)
            .def("payload", {arg("self")}, &cycle_payload)
            .def("own_class", {arg("self")}, &cycle_class)
            .build(scratch, context->cls);
    });
    pykit::set_names(make_cycle_class, module, "make_cycle_class");
    m.attr("make_cycle_class") = make_cycle_class;

    // with_default(value): a native function f(x=value) returning x.
    py::object with_default = pykit::function("with_default", {arg("value")}, [](py::object value) {
        return pykit::function("f", {arg("x").def(value)}, [](py::object x) { return x; });
    });
    pykit::set_names(with_default, module, "with_default");
    m.attr("with_default") = with_default;

    py::object convert_fn = pykit::function("convert", {arg("kind"), arg("value")}, &convert);
    pykit::set_names(convert_fn, module, "convert");
    m.attr("convert") = convert_fn;

    py::object compare_fn = pykit::function("compare", {arg("a"), arg("b"), arg("op")}, &compare);
    pykit::set_names(compare_fn, module, "compare");
    m.attr("compare") = compare_fn;
}
