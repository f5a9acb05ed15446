// A native function type: Python-visible functions and methods whose bodies are C++.
//
// It behaves like a Python function where that is observable: vectorcall with CPython's
// own argument binding and error texts, binding as a method through tp_descr_get, and the
// introspection attributes (__signature__, __annotations__, __defaults__, ...). It
// deliberately has no __code__, __wrapped__ or __func__: without them AutoGraph calls the
// function as it is instead of trying (and failing) to convert its source.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "context.hpp"
#include "errors.hpp"

namespace pykit {
namespace py = pybind11;

using Args = std::vector<py::object>;
// A body gets the module's state (null for functions without a context) and the bound arguments.
using Body = std::function<py::object(Captures*, Args&)>;

// One positional-or-keyword parameter. An annotation of exactly `str`, `list` or `dict`
// also restricts the argument to that built-in type or None (checked before the body).
struct Param {
    std::string name;
    py::object annotation;  // empty: not annotated
    py::object default_;    // empty: required

    Param& ann(py::object a) { annotation = std::move(a); return *this; }
    Param& def(py::object d) { default_ = std::move(d); return *this; }
};

inline Param arg(const char* name) { return Param{name, {}, {}}; }

namespace detail {

// Adapts a body to the Body type. A body is a named function (or a lambda without captures)
// taking one pybind11 object per parameter, optionally preceded by the module's state
// (`const State&`, State deriving from Captures).
template <class T> struct callable_traits : callable_traits<decltype(&T::operator())> {};
template <class R, class... A> struct callable_traits<R (*)(A...)> {
    using result = R;
    using params = std::tuple<A...>;
    static constexpr size_t arity = sizeof...(A);
    static constexpr bool takes_args = sizeof...(A) == 1 && (std::is_same_v<std::decay_t<A>, Args> && ...);
};
template <class R, class... A> struct callable_traits<R(A...)> : callable_traits<R (*)(A...)> {};
template <class R, class C, class... A>
struct callable_traits<R (C::*)(A...) const> : callable_traits<R (*)(A...)> {};
template <class R, class C, class... A>
struct callable_traits<R (C::*)(A...)> : callable_traits<R (*)(A...)> {};

template <class Traits, bool = (Traits::arity > 0)> struct first_param { using type = void; };
template <class Traits> struct first_param<Traits, true> {
    using type = std::decay_t<std::tuple_element_t<0, typename Traits::params>>;
};

template <class T> struct is_accessor : std::false_type {};
template <class Policy> struct is_accessor<py::detail::accessor<Policy>> : std::true_type {};

template <class T>
py::object to_object(T&& value) {
    // An accessor may refer to a temporary that died with the body's return statement.
    static_assert(!is_accessor<std::decay_t<T>>::value,
                  "pykit: a body must not return an attribute or item accessor; declare it -> py::object");
    if constexpr (std::is_convertible_v<T, py::object>)
        return py::object(std::forward<T>(value));
    else if constexpr (std::is_base_of_v<py::handle, std::decay_t<T>>)
        return py::reinterpret_borrow<py::object>(value);
    else
        return py::cast(std::forward<T>(value));
}

template <class Result, class Call>
py::object call_body(Call&& call) {
    if constexpr (std::is_void_v<Result>) {
        call();
        return py::none();
    } else {
        return to_object(call());
    }
}

template <class F, class State, size_t... I>
decltype(auto) invoke_with_state(F& f, Captures* state, Args& a, std::index_sequence<I...>) {
    if (!state) raise(PyExc_SystemError, "native function called after its module state was cleared");
    return f(static_cast<State&>(*state), a[I]...);
}

template <class F, size_t... I>
decltype(auto) invoke_spread(F& f, Args& a, std::index_sequence<I...>) {
    return f(a[I]...);
}

template <class F>
Body make_body(F f, size_t param_count) {
    using traits = callable_traits<std::decay_t<F>>;
    using result = typename traits::result;
    using first = typename first_param<traits>::type;
    // Python references a body captured would be invisible to the garbage collector: a body's
    // Python state lives in the module's context instead.
    static_assert(std::is_pointer_v<std::decay_t<F>> || std::is_empty_v<std::decay_t<F>>,
                  "pykit: a body captures nothing; keep its Python state in the module's context");
    static_assert(!traits::takes_args, "pykit: a body takes one named parameter per Python parameter");
    if constexpr (std::is_base_of_v<Captures, first>) {
        if (traits::arity != param_count + 1)
            throw std::logic_error("pykit: body arity does not match the parameter list");
        return [f = std::move(f)](Captures* state, Args& a) mutable -> py::object {
            auto seq = std::make_index_sequence<traits::arity - 1>{};
            return call_body<result>([&]() -> decltype(auto) { return invoke_with_state<F, first>(f, state, a, seq); });
        };
    } else {
        if (traits::arity != param_count)
            throw std::logic_error("pykit: body arity does not match the parameter list");
        return [f = std::move(f)](Captures*, Args& a) mutable -> py::object {
            auto seq = std::make_index_sequence<traits::arity>{};
            return call_body<result>([&]() -> decltype(auto) { return invoke_spread(f, a, seq); });
        };
    }
}

struct Definition {
    std::vector<Param> params;
    std::vector<py::object> names;     // interned parameter names, for keyword matching
    std::vector<PyTypeObject*> exact;  // per parameter: the enforced built-in type, or null
    size_t required = 0;               // parameters before the first default
    py::object return_annotation;
    Body body;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Definition* definition;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* signature;    // cached inspect.Signature, or null until first asked
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* context;      // the module's state (a native context), or null
};

inline FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// A field's value for a getter; fields are null only after the collector cleared the function.
inline PyObject* none_if_null(PyObject* o) { return Py_NewRef(o ? o : Py_None); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": CPython's list of missing names.
inline std::string join_missing(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

// Binds vectorcall arguments to the parameter slots exactly as CPython binds a function
// with positional-or-keyword parameters; returns false with an exception set on failure.
inline bool bind_arguments(FunctionObject* f, PyObject* const* args, size_t nargs, PyObject* kwnames,
                           Args& slots) {
    const Definition& definition = *f->definition;
    const size_t count = definition.params.size();
    // Keywords are bound before the positional count is checked, as CPython does, so an
    // unknown or repeated keyword is reported first.
    slots.assign(count, py::object());
    for (size_t i = 0; i < nargs && i < count; ++i) slots[i] = py::reinterpret_borrow<py::object>(args[i]);
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t index = count;
            for (size_t i = 0; i < count && index == count; ++i) {
                PyObject* pname = definition.names[i].ptr();
                if (key == pname) { index = i; break; }
                int equal = PyObject_RichCompareBool(key, pname, Py_EQ);
                if (equal < 0) return false;
                if (equal) index = i;
            }
            if (index == count) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
                return false;
            }
            if (slots[index]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                return false;
            }
            slots[index] = py::reinterpret_borrow<py::object>(args[nargs + k]);
        }
    }
    if (nargs > count) {
        const size_t defcount = count - definition.required;
        std::string sig = defcount ? "from " + std::to_string(definition.required) + " to " + std::to_string(count)
                                   : std::to_string(count);
        const bool plural = defcount ? true : count != 1;
        PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given", f->qualname,
                     sig.c_str(), plural ? "s" : "", (Py_ssize_t)nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < count; ++i) {
        if (slots[i]) continue;
        if (definition.params[i].default_) slots[i] = definition.params[i].default_;
        else missing.push_back(definition.params[i].name);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", f->qualname,
                     (Py_ssize_t)missing.size(), missing.size() == 1 ? "" : "s", join_missing(missing).c_str());
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        PyTypeObject* want = definition.exact[i];
        PyObject* got = slots[i].ptr();
        if (want && got != Py_None && Py_TYPE(got) != want) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         definition.params[i].name.c_str(), want->tp_name, Py_TYPE(got)->tp_name);
            return false;
        }
    }
    return true;
}

inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    if (!f->definition) {
        PyErr_SetString(PyExc_SystemError, "native function called after it was cleared");
        return nullptr;
    }
    Args slots;
    if (!bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) return nullptr;
    Captures* state = f->context ? context_state(f->context) : nullptr;
    py::object keep_context = py::reinterpret_borrow<py::object>(f->context);  // alive for the call
    return guarded([&] { return f->definition->body(state, slots); });
}

// Every reference the function owns, for the collector: its attributes, the parameters'
// defaults and annotations, and the module state its body uses.
inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->dict);
    Py_VISIT(f->context);
    if (const Definition* d = f->definition) {
        for (const Param& p : d->params) {
            Py_VISIT(p.annotation.ptr());
            Py_VISIT(p.default_.ptr());
        }
        for (const py::object& name : d->names) Py_VISIT(name.ptr());
        Py_VISIT(d->return_annotation.ptr());
    }
    return 0;
}

inline int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->context);
    delete f->definition;  // drops the parameters' objects and the body
    f->definition = nullptr;
    return 0;
}

inline void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* function_repr(PyObject* self) {
    PyObject* qualname = as_function(self)->qualname;
    if (!qualname) return PyUnicode_FromFormat("<function at %p>", self);
    return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
}

inline PyObject* function_reduce(PyObject* self, PyObject*) { return none_if_null(as_function(self)->qualname); }

inline PyObject* build_signature(FunctionObject* f) {
    return guarded([&]() -> py::object {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        py::object empty = parameter.attr("empty");
        py::list params;
        for (const Param& p : f->definition->params) {
            py::dict kw;
            kw["default"] = p.default_ ? p.default_ : empty;
            kw["annotation"] = p.annotation ? p.annotation : empty;
            params.append(parameter(p.name, kind, **kw));
        }
        py::object ret = f->definition->return_annotation ? f->definition->return_annotation : inspect.attr("Signature").attr("empty");
        return inspect.attr("Signature")(params, py::arg("return_annotation") = ret);
    });
}

// Attribute slots: the same get/set behaviour as a Python function's.
#define PYKIT_FIELD_GETSET(field, allow_none)                                                    \
    [](PyObject* self, void*) -> PyObject* { return none_if_null(as_function(self)->field); },   \
    [](PyObject* self, PyObject* value, void*) -> int {                                          \
        if (value == nullptr || (!(allow_none) && !PyUnicode_Check(value))) {                    \
            PyErr_SetString(PyExc_TypeError, "__" #field "__ must be set to a string object");   \
            return -1;                                                                           \
        }                                                                                        \
        Py_XSETREF(as_function(self)->field, Py_NewRef(value));                                  \
        return 0;                                                                                \
    }

inline PyGetSetDef* function_getsets() {
    static PyGetSetDef getsets[] = {
        {"__name__", PYKIT_FIELD_GETSET(name, false), nullptr, nullptr},
        {"__qualname__", PYKIT_FIELD_GETSET(qualname, false), nullptr, nullptr},
        {"__module__", PYKIT_FIELD_GETSET(module, true), nullptr, nullptr},
        {"__doc__", PYKIT_FIELD_GETSET(doc, true), nullptr, nullptr},
        {"__defaults__", [](PyObject* self, void*) -> PyObject* { return none_if_null(as_function(self)->defaults); },
         nullptr, nullptr, nullptr},
        {"__kwdefaults__", [](PyObject*, void*) -> PyObject* { Py_RETURN_NONE; }, nullptr, nullptr, nullptr},
        {"__annotations__",
         [](PyObject* self, void*) -> PyObject* { return none_if_null(as_function(self)->annotations); }, nullptr,
         nullptr, nullptr},
        {"__signature__",
         [](PyObject* self, void*) -> PyObject* {
             FunctionObject* f = as_function(self);
             if (!f->definition) return Py_NewRef(Py_None);
             if (!f->signature) f->signature = build_signature(f);
             return Py_XNewRef(f->signature);
         },
         nullptr, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return getsets;
}
#undef PYKIT_FIELD_GETSET

inline PyTypeObject* function_type() {
    static PyTypeObject* type = [] {
        static PyMethodDef methods[] = {
            {"__reduce__", function_reduce, METH_NOARGS, nullptr},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "vireo.native_function";
        t.tp_basicsize = sizeof(FunctionObject);
        t.tp_dealloc = function_dealloc;
        t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
        t.tp_call = PyVectorcall_Call;
        t.tp_repr = function_repr;
        t.tp_getattro = PyObject_GenericGetAttr;
        t.tp_setattro = PyObject_GenericSetAttr;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_GC;
        t.tp_traverse = function_traverse;
        t.tp_clear = function_clear;
        t.tp_doc = "A function whose body is native code.";
        t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
        t.tp_dictoffset = offsetof(FunctionObject, dict);
        t.tp_methods = methods;
        t.tp_getset = function_getsets();
        t.tp_descr_get = function_descr_get;
        if (PyType_Ready(&t) < 0) throw py::error_already_set();
        return &t;
    }();
    return type;
}

inline PyTypeObject* exact_type_for(const py::object& annotation) {
    if (!annotation) return nullptr;
    PyObject* a = annotation.ptr();
    if (a == (PyObject*)&PyUnicode_Type) return &PyUnicode_Type;
    if (a == (PyObject*)&PyList_Type) return &PyList_Type;
    if (a == (PyObject*)&PyDict_Type) return &PyDict_Type;
    return nullptr;
}

}  // namespace detail

// Builds a native function. `body` is a named function (or a lambda without captures) taking
// one pybind11 object per parameter, preceded by `State&` when `context` is given (a native
// context made by make_context<State>()). The class builder later sets __qualname__ and
// __module__ when the function becomes a method.
template <class F>
py::object function(const std::string& name, std::vector<Param> params, F body, const char* doc = nullptr,
                    py::object return_annotation = {}, py::object context = {}) {
    auto definition = std::make_unique<detail::Definition>();
    bool seen_default = false;
    py::list defaults;
    py::dict annotations;
    for (const Param& p : params) {
        if (p.default_) { seen_default = true; defaults.append(p.default_); }
        else if (seen_default) throw std::logic_error("pykit: parameter without default follows a default: " + p.name);
        else ++definition->required;
        if (p.annotation) annotations[py::str(p.name)] = p.annotation;
        definition->exact.push_back(detail::exact_type_for(p.annotation));
        PyObject* interned = PyUnicode_FromString(p.name.c_str());
        if (!interned) throw py::error_already_set();
        PyUnicode_InternInPlace(&interned);
        definition->names.push_back(py::reinterpret_steal<py::object>(interned));
    }
    if (return_annotation) annotations["return"] = return_annotation;
    if (context && !is_context(context)) throw std::logic_error("pykit: a function's context must come from make_context");
    definition->body = detail::make_body(std::move(body), params.size());
    definition->params = std::move(params);
    definition->return_annotation = std::move(return_annotation);

    py::str name_object(name);
    py::object doc_object = doc ? py::object(py::str(doc)) : py::none();
    py::object defaults_object = defaults.empty() ? py::object(py::none()) : py::object(py::tuple(defaults));

    // Every field is set before the object can be seen or freed, so nothing below can leave a
    // half-built function behind.
    auto* f = PyObject_GC_New(detail::FunctionObject, detail::function_type());
    if (!f) throw py::error_already_set();
    f->vectorcall = detail::function_vectorcall;
    f->definition = definition.release();
    f->name = Py_NewRef(name_object.ptr());
    f->qualname = Py_NewRef(name_object.ptr());
    f->module = Py_NewRef(Py_None);
    f->doc = doc_object.release().ptr();
    f->defaults = defaults_object.release().ptr();
    f->annotations = annotations.release().ptr();
    f->signature = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->context = context.release().ptr();
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

inline bool is_function(py::handle h) { return Py_TYPE(h.ptr()) == detail::function_type(); }

// Sets the names a function reports (used when it becomes a method of a class).
inline void set_names(py::handle fn, const std::string& module, const std::string& qualname) {
    fn.attr("__module__") = py::str(module);
    fn.attr("__qualname__") = py::str(qualname);
}

}  // namespace pykit
