// Raising Python exceptions from C++ and turning C++ exceptions back into Python ones.
#pragma once

#include <pybind11/pybind11.h>

#include <new>
#include <stdexcept>
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
    } catch (py::builtin_exception& e) {  // py::value_error, py::type_error, py::cast_error, ...
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error& e) {  // a size past what a container can hold
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Caught an unknown exception!");
    }
    return nullptr;
}

}  // namespace pykit
