// The imports the shared dataset steps use, as a base for a module's state.
//
// A dataset module derives its state from `datasets::Imports` and fills the members it imports,
// in its own import order (import order is observable); each step reads only the members it
// names in its comment. `need` turns a member the module never filled into a clear error
// instead of a call through a null reference.
#pragma once

#include <pykit.hpp>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace datasets {
namespace py = pybind11;

struct Imports : pykit::Captures {
    pykit::Ref np{this};          // numpy
    pykit::Ref cv2{this};         // cv2
    pykit::Ref Image{this};       // PIL.Image
    pykit::Ref letterbox{this};   // vireo.quillon.datasets.utils.letterbox
    pykit::Ref xywhn2xyxy{this};  // vireo.quillon.datasets.utils.xywhn2xyxy
};

// `from module import a, b, ...` at module initialisation: one import statement (import order
// and count are observable), each name published on the extension module as the statement
// binds it. Returns the values in the order named.
inline std::vector<py::object> import_names(py::module_& m, const char* module,
                                            std::initializer_list<const char*> names) {
    py::object source = pykit::from_import(module, names);
    std::vector<py::object> values;
    for (const char* name : names) {
        values.push_back(source.attr(name));
        m.attr(name) = values.back();
    }
    return values;
}

inline const py::object& need(const py::object& imported, const char* name) {
    if (!imported) pykit::raise(PyExc_SystemError, std::string("dataset step used without importing ") + name);
    return imported;
}

// A path holding a NUL byte names no file: refused with the ValueError Python's open() gives
// (where os.path.exists would quietly say False). Paths that are not str are left alone.
inline void refuse_nul(const py::handle& path) {
    if (!PyUnicode_Check(path.ptr())) return;
    const Py_ssize_t at = PyUnicode_FindChar(path.ptr(), 0, 0, PyUnicode_GetLength(path.ptr()), 1);
    if (at == -2) throw py::error_already_set();
    if (at >= 0) pykit::raise(PyExc_ValueError, "embedded null byte");
}

// The file-system bytes of a str path, for reading the file natively; nothing when the path is
// not a str or has no such bytes (characters the file system cannot encode, a NUL byte), and
// the caller then leaves the path to Python's own open, which reports it.
inline std::optional<std::string> filesystem_name(const py::handle& path) {
    if (!PyUnicode_Check(path.ptr())) return std::nullopt;
    auto encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::string name(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    if (name.find('\0') != std::string::npos) return std::nullopt;
    return name;
}

// `value[i]` for a Python sequence or array.
inline py::object item(const py::handle& value, long i) {
    return py::reinterpret_borrow<py::object>(value)[py::int_(i)];
}

// `value[:n]`
inline py::object head(const py::handle& value, long n) {
    return py::reinterpret_borrow<py::object>(value)[py::slice(py::none(), py::int_(n), py::none())];
}

// `value in [a, b]` as Python evaluates it: item by item, identity first, then item == value.
inline bool among(const py::handle& value, const py::handle& a, const py::handle& b) {
    for (const py::handle& item : {a, b})
        if (item.is(value) || pykit::equals(item, value)) return true;
    return false;
}

// `array[:, i]`, as an index for reading or assigning one column.
inline py::tuple column(long i) { return py::make_tuple(py::slice(py::none(), py::none(), py::none()), i); }

}  // namespace datasets
