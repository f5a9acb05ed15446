// Small helpers for method bodies: Python statements and builtins over pybind11 objects
// (imports, print, super, unpacking, `with` blocks, ...), with the interpreter's semantics
// and error texts.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"

namespace pykit {
namespace py = pybind11;

// builtins.<name> as Python code running now sees it: the current frame's builtins, or the
// builtins module when no frame runs (no import on the way).
inline py::object builtin(const char* name) {
    PyObject* names = PyEval_GetBuiltins();  // borrowed
    if (names && PyDict_Check(names)) {
        PyObject* value = PyDict_GetItemString(names, name);  // borrowed
        if (value) return py::reinterpret_borrow<py::object>(value);
    }
    return py::module_::import("builtins").attr(name);
}

// `from module import a, b, ...`: returns the module; the caller reads the names from it.
inline py::object from_import(const char* module, std::initializer_list<const char*> names) {
    py::tuple fromlist(names.size());
    size_t i = 0;
    for (const char* name : names) fromlist[i++] = py::str(name);
    return builtin("__import__")(module, py::none(), py::none(), fromlist, 0);
}

// `from module import name`
inline py::object import_from(const char* module, const char* name) {
    return from_import(module, {name}).attr(name);
}

// `module.name`, or an empty object when the module or the name is missing: for the private
// parts of other packages, which may move between their releases. Other errors propagate.
inline py::object import_optional(const char* module, const char* name) {
    try {
        return py::module_::import(module).attr(name);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) throw;
        return py::object();
    }
}

// Module initialisation: `import module as alias` and `from module import name`. Each imports
// in the order called (import order is observable), publishes the object on the extension
// module as a Python module's import statement would, and returns it for the module's state.
inline py::object import_module(py::module_& m, const char* module, const char* alias) {
    py::object value = py::module_::import(module);
    m.attr(alias) = value;
    return value;
}

inline py::object import_name(py::module_& m, const char* module, const char* name) {
    py::object value = import_from(module, name);
    m.attr(name) = value;
    return value;
}

// super(cls, self)
inline py::object super(const py::handle& cls, const py::handle& self) { return builtin("super")(cls, self); }

// print(*args), through Python's own print so output interleaves with Python's.
template <class... A>
void print(A&&... args) {
    builtin("print")(std::forward<A>(args)...);
}

// warnings.warn(message)
inline void warn(const std::string& message) { py::module_::import("warnings").attr("warn")(message); }

// `dictionary[key]` of a dict, or an empty object when the key is missing; errors of the key
// itself (unhashable) propagate as Python raises them.
inline py::object dict_find(const py::handle& dictionary, const py::handle& key) {
    PyObject* found = PyDict_GetItemWithError(dictionary.ptr(), key.ptr());  // borrowed
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(found);
}

// Python's truth test: `if value:`.
inline bool truthy(const py::handle& h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Comparisons, the one way the modules write them.
// `a op b` as Python evaluates it, keeping the result object (an element-wise tensor or array,
// not a truth value); op is Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT or Py_GE.
inline py::object compare(const py::handle& a, const py::handle& b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// `if a op b:`: the comparison, then Python's truth test of its result.
inline bool holds(const py::handle& a, const py::handle& b, int op) { return truthy(compare(a, b, op)); }

// `if a == b:`
inline bool equals(const py::handle& a, const py::handle& b) { return holds(a, b, Py_EQ); }

// `item in container` (membership tests identity first, then ==, as Python does).
inline bool contains(const py::handle& container, const py::handle& item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Python's conversions: `float(x)`, `int(x)`, `str(x)`, `tuple(x)`, `list(x)`. Each returns the
// exact built-in type (a numpy.float64 becomes a float, a str subclass a str, a namedtuple a
// tuple), where pybind11's own constructors keep subclasses.
namespace detail {
inline py::object call_type(PyTypeObject* type, const py::handle& value) {
    PyObject* r = PyObject_CallOneArg(reinterpret_cast<PyObject*>(type), value.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}
}  // namespace detail

inline py::float_ as_float(const py::handle& value) {
    return py::reinterpret_steal<py::float_>(detail::call_type(&PyFloat_Type, value).release());
}
inline py::int_ as_int(const py::handle& value) {
    return py::reinterpret_steal<py::int_>(detail::call_type(&PyLong_Type, value).release());
}
inline py::str as_str(const py::handle& value) {
    return py::reinterpret_steal<py::str>(detail::call_type(&PyUnicode_Type, value).release());
}
inline py::tuple as_tuple(const py::handle& value) {
    return py::reinterpret_steal<py::tuple>(detail::call_type(&PyTuple_Type, value).release());
}
inline py::list as_list(const py::handle& value) {
    return py::reinterpret_steal<py::list>(detail::call_type(&PyList_Type, value).release());
}

// Python's `str.format`.
template <class... A>
py::str format(const char* pattern, A&&... args) {
    return py::str(pattern).format(std::forward<A>(args)...);
}

// A Python number as a float, converted as for a C double argument (else TypeError).
inline py::float_ to_float(const py::handle& value) {
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return py::float_(v);
}

// Python's `len(obj)`.
inline size_t len(const py::handle& h) {
    Py_ssize_t n = PyObject_Length(h.ptr());
    if (n < 0) throw py::error_already_set();
    return (size_t)n;
}

// `[a, b, ...]`
template <class... A>
py::list list_of(A&&... items) {
    py::list out;
    (out.append(std::forward<A>(items)), ...);
    return out;
}

// `a, b, c = value` for n names: at most n + 1 items are read, and the errors are Python's.
inline std::vector<py::object> unpack(const py::handle& value, size_t n) {
    PyObject* it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyTypeObject* type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter && !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            raise(PyExc_TypeError, std::string("cannot unpack non-iterable ") + type->tp_name + " object");
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(it);
    std::vector<py::object> items;
    while (items.size() <= n) {
        PyObject* next = PyIter_Next(iterator.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        items.push_back(py::reinterpret_steal<py::object>(next));
    }
    if (items.size() < n)
        raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) + ", got " +
                                    std::to_string(items.size()) + ")");
    if (items.size() > n) raise(PyExc_ValueError, "too many values to unpack (expected " + std::to_string(n) + ")");
    return items;
}

// `with manager as value: body(value)` (or body()): __exit__ runs on every way out, gets the
// Python error's details and may suppress it, as in Python.
template <class Body>
void with(const py::object& manager, Body&& body) {
    py::object exit = manager.attr("__exit__");
    py::object value = manager.attr("__enter__")();
    try {
        if constexpr (std::is_invocable_v<Body&, py::object&>)
            body(value);
        else
            body();
    } catch (py::error_already_set& e) {
        py::object trace = e.trace() ? e.trace() : py::none();
        if (!truthy(exit(e.type(), e.value(), trace))) throw;
        return;
    } catch (...) {
        exit(py::none(), py::none(), py::none());
        throw;
    }
    exit(py::none(), py::none(), py::none());
}

// fn(resource), then resource.close() on every way out (a file, an image). When fn fails, an
// error from close() is dropped so that fn's error is the one raised.
template <class Fn>
auto closing(const py::object& resource, Fn&& fn) -> decltype(fn(resource)) {
    auto close_quietly = [&] {
        try {
            resource.attr("close")();
        } catch (py::error_already_set&) {
        }
    };
    if constexpr (std::is_void_v<decltype(fn(resource))>) {
        try {
            fn(resource);
        } catch (...) {
            close_quietly();
            throw;
        }
        resource.attr("close")();
    } else {
        auto result = [&] {
            try {
                return fn(resource);
            } catch (...) {
                close_quietly();
                throw;
            }
        }();
        resource.attr("close")();
        return result;
    }
}

}  // namespace pykit
