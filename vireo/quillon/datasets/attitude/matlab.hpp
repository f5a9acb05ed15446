// MATLAB head-pose annotations: pitch, yaw and roll from `Pose_Para`, landmarks from `pt2d`.
#pragma once

#include "common/annotations.hpp"
#include "common/matlab_elements.hpp"
#include "state.hpp"

namespace attitude {

[[noreturn]] inline void bad_pose_para(const py::object& path, const char* what, const py::object& value) {
    pykit::raise(PyExc_ValueError,
                 pykit::format("Pose_Para in {} must hold pitch, yaw and roll in its first row; {} {}", path, what, value));
}

// The numbers that hold pitch, yaw and roll: row 0 of Pose_Para, or its single column when
// the file stores a vector as a column (savemat's oned_as="column"). Anything that is not a
// real-valued matrix with three such numbers is refused.
inline py::object pose_numbers(const State& s, const py::object& pose_para, const py::object& path) {
    if (!py::isinstance(pose_para, s.np.attr("ndarray"))) bad_pose_para(path, "it is a", py::type::of(pose_para));
    py::object kind = pose_para.attr("dtype").attr("kind");
    if (!pykit::contains(py::str("biuf"), kind)) bad_pose_para(path, "its values are of type", pose_para.attr("dtype"));
    py::tuple shape = pose_para.attr("shape");
    if (shape.size() != 2) bad_pose_para(path, "its shape is", shape);
    const auto rows = shape[0].cast<py::ssize_t>(), cols = shape[1].cast<py::ssize_t>();
    if (rows >= 1 && cols >= 3) return pose_para[py::int_(0)];
    if (cols == 1 && rows >= 3) return pose_para[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0)];
    bad_pose_para(path, "its shape is", shape);
}

// Refuses a file that would crash loadmat (see common/matlab_elements.hpp). The file loadmat
// would open is read: the path itself or, failing that, the path with ".mat" appended. When
// neither can be read, loadmat reports it.
inline void refuse_unsafe_mat(const py::object& path) {
    auto encoded = py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(path_text(path).ptr()));
    if (!encoded) throw py::error_already_set();
    const std::string name = encoded;
    const bool has_suffix = name.size() >= 4 && name.compare(name.size() - 4, 4, ".mat") == 0;
    std::string bytes, problem;
    {
        py::gil_scoped_release unlocked;
        const bool read = datasets::read_file(name.c_str(), bytes) ||
                          (!has_suffix && datasets::read_file((name + ".mat").c_str(), bytes));
        if (read)
            problem = datasets::matlab::unsafe_for_loadmat(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                           bytes.size());
    }
    if (!problem.empty())
        pykit::raise(PyExc_ValueError, pykit::format("{} is not a MATLAB file that can be read ({})", path, problem));
}

// sio.loadmat(path). Errors of the file system (an OSError with an errno: missing, not
// readable) stay what they are. loadmat reports a damaged file in many ways (ValueError,
// TypeError, IndexError, OSError without errno, zlib.error, MatReadError); each becomes one
// ValueError naming the file, caused by loadmat's own error.
inline py::object load_mat(const State& s, const py::object& path) {
    path_text(path);  // open's TypeError for None or a non-path
    refuse_nul(path, "annotations_path");
    refuse_unsafe_mat(path);
    try {
        return s.sio.attr("loadmat")(path);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like
        if (error.matches(PyExc_OSError) && !py::object(error.value().attr("errno")).is_none()) throw;
        const std::string reason = pykit::format("{} is not a MATLAB file that can be read ({}: {})", path,
                                                 py::type::of(error.value()).attr("__name__"), error.value());
        py::raise_from(error, PyExc_ValueError, reason.c_str());
        throw py::error_already_set();
    }
}

// read_annotations(annotations_path) -> (pose_params, pt2d)
inline py::tuple read_annotations(const State& s, const py::object&, const py::object& annotations_path) {
    py::object mat = load_mat(s, annotations_path);
    py::object pre_pose_params = pose_numbers(s, mat[py::str("Pose_Para")], annotations_path);
    py::object three = pre_pose_params[py::slice(py::none(), py::int_(3), py::none())];
    py::object pose_params = s.np.attr("asarray")(three, py::arg("dtype") = s.np.attr("float32"));
    // A NaN, an infinity or a number beyond float32 would reach the loss as a label.
    const py::ssize_t bad = first_non_finite(pose_params, "The angles");
    if (bad >= 0) {
        const char* names[] = {"pitch", "yaw", "roll"};
        pykit::raise(PyExc_ValueError, pykit::format("Pose_Para in {}: the {} is {}, not a finite float32 number",
                                                     annotations_path, names[bad], three[py::int_(bad)]));
    }
    py::object pt2d = s.np.attr("asarray")(mat[py::str("pt2d")], s.np.attr("float32"));
    return py::make_tuple(pose_params, pt2d);
}

}  // namespace attitude
