// Raising Python exceptions from C++ and turning C++ exceptions back into Python ones.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace pykit {
namespace py = pybind11;

// Raises `type(message)`, e.g. raise(PyExc_FileNotFoundError, "...").
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Raises `type(*args)`, for exceptions built with several arguments.
[[noreturn]] inline void raise_args(PyObject* type, const py::tuple& args) {
    py::object instance = py::reinterpret_borrow<py::object>(type)(*args);
    PyErr_SetObject(type, instance.ptr());
    throw py::error_already_set();
}

// Raises an already built exception instance.
[[noreturn]] inline void raise_instance(const py::object& instance) {
    PyErr_SetObject((PyObject*)Py_TYPE(instance.ptr()), instance.ptr());
    throw py::error_already_set();
}

// Runs `fn` and returns its result as a new reference; any C++ exception becomes the
// matching Python exception and nullptr is returned.
template <class Fn>
PyObject* guarded(Fn&& fn) noexcept {
    try {
        return fn().release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        try {
            py::detail::try_translate_exceptions();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "unhandled C++ exception");
        }
    }
    return nullptr;
}

}  // namespace pykit
