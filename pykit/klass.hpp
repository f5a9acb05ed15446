// Building Python classes whose methods are native functions.
//
// Classes are made by calling the metaclass, `type(name, bases, namespace)`, so that Python
// base classes (with metaclasses of their own) work exactly as with a `class` statement.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "function.hpp"

namespace pykit {
namespace py = pybind11;

class ClassBuilder {
public:
    // `context` (from make_context) is handed to every method defined with def(); bodies then
    // take the module's state as their first parameter.
    ClassBuilder(std::string module, std::string name, py::tuple bases = py::tuple(), py::object context = {})
        : module_(std::move(module)), name_(std::move(name)), bases_(std::move(bases)), context_(std::move(context)) {
        namespace_["__module__"] = py::str(module_);
        namespace_["__qualname__"] = py::str(name_);
    }

    ClassBuilder& doc(const char* text) {
        namespace_["__doc__"] = py::str(text);
        return *this;
    }

    // Adds a method. With `wrap` (for instance tf.function), the class stores wrap(method).
    ClassBuilder& method(py::object fn, py::object wrap = {}) {
        std::string fname = py::str(fn.attr("__name__"));
        set_names(fn, module_, name_ + "." + fname);
        namespace_[py::str(fname)] = wrap ? wrap(fn) : fn;
        return *this;
    }

    template <class F>
    ClassBuilder& def(const std::string& fname, std::vector<Param> params, F body, const char* doc = nullptr,
                      py::object return_annotation = {}) {
        return method(function(fname, std::move(params), std::move(body), doc, std::move(return_annotation), context_));
    }

    // The same, stored in the class wrapped by `wrap` (for instance tf.function).
    template <class F>
    ClassBuilder& def_wrapped(py::object wrap, const std::string& fname, std::vector<Param> params, F body,
                              const char* doc = nullptr) {
        return method(function(fname, std::move(params), std::move(body), doc, {}, context_), std::move(wrap));
    }

    ClassBuilder& attr(const char* key, py::object value) {
        namespace_[key] = std::move(value);
        return *this;
    }

    // Creates the class through the most derived metaclass of its bases, stores it in the
    // module under its name, fills `ref` (a Ref in the module's state, for `super()`), and
    // returns it.
    py::object build(py::module_& m, Ref& ref) {
        py::object cls = build(m);
        ref = cls;
        return cls;
    }

    py::object build(py::module_& m) {
        py::object meta = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type);
        for (py::handle base : bases_) {
            py::object candidate = py::reinterpret_borrow<py::object>((PyObject*)Py_TYPE(base.ptr()));
            if (PyType_IsSubtype((PyTypeObject*)candidate.ptr(), (PyTypeObject*)meta.ptr())) meta = candidate;
        }
        py::object cls = meta(py::str(name_), bases_.empty() ? py::tuple() : bases_, namespace_);
        m.attr(name_.c_str()) = cls;
        return cls;
    }

private:
    std::string module_;
    std::string name_;
    py::tuple bases_;
    py::object context_;
    py::dict namespace_;
};

}  // namespace pykit
