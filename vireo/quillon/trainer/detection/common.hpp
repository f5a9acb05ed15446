// Shared pieces of the detection trainer: the module's imports and small helpers that
// reproduce Python statements (`%`, comparisons, file writes) over pybind11 objects.
#pragma once

#include <pykit.hpp>

#include <memory>
#include <string>
#include <vector>

namespace detection {
namespace py = pybind11;
using pykit::unpack;
using pykit::with;

// The modules imported at load, in load order, plus attributes used on every step.
struct Imports {
    py::object TrainingTensorBoardWriter;
    py::object tqdm;
    py::object tf;
    py::object np;
    py::object json;
    py::object os;
    py::object time;
    py::object csv;
    py::object QuillonTrainingCallback;

    py::object builtins;
    py::object schedule_type;  // tf.keras.optimizers.schedules.LearningRateSchedule
    py::object tensor_type;    // tf.Tensor
    py::object model_type;     // tf.keras.models.Model
};
using ImportsPtr = std::shared_ptr<const Imports>;

inline const char* const kBarFormat = "{l_bar}{bar:15}{r_bar}{bar:-15b}";

// Python's `fmt % value`.
inline py::object percent(const char* fmt, const py::handle& value) {
    PyObject* r = PyNumber_Remainder(py::str(fmt).ptr(), value.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// `a <op> b` as a truth value, with Python's errors (e.g. `None >= 0`).
inline bool holds(const py::handle& a, const py::handle& b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline py::object get(const py::handle& mapping, const char* key) {
    return mapping.attr("get")(key);
}

inline py::object path_join(const Imports& im, const py::handle& a, const char* b) {
    return im.os.attr("path").attr("join")(a, b);
}

inline bool path_exists(const Imports& im, const py::handle& path) {
    return pykit::truthy(im.os.attr("path").attr("exists")(path));
}

// `with open(path, "w") as f: f.write(text)`
inline void write_text(const Imports& im, const py::handle& path, const py::handle& text) {
    with(im.builtins.attr("open")(path, "w"), [&](py::object f) { f.attr("write")(text); });
}

// Removes a leftover temporary file; a file that is already gone is fine.
inline void remove_quietly(const Imports& im, const py::handle& path) {
    try {
        im.os.attr("remove")(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

// Replaces `path` with the file that `write(temp)` produces: the temporary file sits in the
// same folder (so the final rename is atomic) and ends in `suffix` (Keras picks the HDF5
// format from ".h5"). Its data reaches the disk before the rename, and it is removed when
// anything fails, so the previous `path` survives an interrupted or failed write.
template <class Write>
void write_replacing(const Imports& im, const py::object& path, const char* suffix, Write write) {
    py::object token = im.os.attr("urandom")(4).attr("hex")();
    py::object temp = pykit::format("{}.tmp-{}{}", path, token, suffix);
    try {
        write(temp);
        py::object os = im.os;
        py::object fd = os.attr("open")(temp, os.attr("O_RDWR"));
        try {
            os.attr("fsync")(fd);
        } catch (py::error_already_set&) {
            os.attr("close")(fd);
            throw;
        }
        os.attr("close")(fd);
        os.attr("replace")(temp, path);
    } catch (...) {
        remove_quietly(im, temp);
        throw;
    }
}

// The learning rate in force: a schedule is evaluated at the optimizer's step count,
// anything else is returned as it is (a variable for Keras optimizers).
inline py::object current_learning_rate(const Imports& im, const py::object& optimizer) {
    py::object lr = optimizer.attr("lr");
    if (py::isinstance(lr, im.schedule_type)) return lr(optimizer.attr("iterations"));
    return lr;
}

}  // namespace detection
