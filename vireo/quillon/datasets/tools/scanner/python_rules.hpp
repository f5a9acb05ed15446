// Rules for the annotation formats the datasets read through Python's own readers: per-image
// segmentation JSON, COCO JSON, head-pose JSON and MATLAB files.
//
// The files are read from disk by the workers; the text is parsed here with the same reader
// the dataset uses (json, scipy.io.loadmat), so that whatever it accepts or refuses is
// accepted or refused here. These functions run with the GIL held.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/matlab_elements.hpp"
#include "darknet_rules.hpp"
#include "findings.hpp"
#include "state.hpp"

namespace scanner {

// A JSON number (int, float or bool, as NumPy converts them) as a double; false otherwise.
inline bool json_number(const py::handle& v, double& out) {
    if (PyLong_Check(v.ptr())) {  // bool included
        out = PyLong_AsDouble(v.ptr());
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            out = HUGE_VAL;  // an integer beyond double range
        }
        return true;
    }
    if (PyFloat_Check(v.ptr())) {
        out = PyFloat_AS_DOUBLE(v.ptr());
        return true;
    }
    return false;
}

inline std::string python_repr(const py::handle& v) {
    std::string text = py::repr(v).cast<std::string>();
    return text.size() > 60 ? text.substr(0, 57) + "..." : text;
}

// The first line of the message of the Python error being handled.
inline std::string error_text(py::error_already_set& e) {
    std::string type = py::str(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(e.value().ptr()))).attr("__name__"));
    std::string text = py::str(e.value()).cast<std::string>();
    return type + ": " + text.substr(0, text.find('\n'));
}

// json.load(open(path)) of the bytes of `file`: UTF-8 text, then Python's json. False, with
// the finding added, when it fails.
inline bool load_json(const State& s, const std::string& bytes, const std::string& file, py::object& content,
                      SampleFindings& out) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (!text) {
        PyErr_Clear();
        out.add(Severity::error, "annotation-unreadable", file, "", "is not UTF-8 text");
        return false;
    }
    py::str decoded = py::reinterpret_steal<py::str>(text);
    try {
        content = s.json.attr("loads")(decoded);
    } catch (py::error_already_set& e) {
        out.add(Severity::error, "annotation-unreadable", file, "", "is not valid JSON: " + error_text(e));
        return false;
    }
    if (!PyDict_Check(content.ptr())) {
        out.add(Severity::error, "annotation-layout", file, "", "does not hold a JSON object");
        return false;
    }
    return true;
}

// A class id from an annotation: a whole number (not a boolean) inside the class list.
// Returns it, or -1.
inline int64_t json_class(const py::handle& value, size_t num_classes, const std::string& file,
                          const std::string& where, SampleFindings& out) {
    double id;
    if (PyBool_Check(value.ptr()) || !json_number(value, id)) {
        out.add(Severity::error, "class-not-integer", file, where, "class " + python_repr(value) + " is not a number");
        return -1;
    }
    return check_class_id(id, num_classes, file, where, out);
}

// A file name from JSON joined to `folder` (only its last component with `last_only`, as the
// per-image segmentation dataset takes it): text the file system can encode. Empty, with the
// finding added, when it is not.
inline std::string json_file_name(const State& s, const py::object& folder, const py::object& name, bool last_only,
                                  const std::string& file, const std::string& where, const char* key,
                                  SampleFindings& out) {
    if (!PyUnicode_Check(name.ptr())) {
        out.add(Severity::error, "annotation-layout", file, where,
                name.is_none() ? std::string("has no ``") + key + "``"
                               : std::string("``") + key + "`` is " + python_repr(name) + ", not a file name");
        return std::string();
    }
    try {
        return fs_path(s.os_path.attr("join")(folder, last_only ? s.os_path.attr("basename")(name) : name));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeError)) throw;
        out.add(Severity::error, "annotation-layout", file, where,
                std::string("``") + key + "`` " + python_repr(name) + " cannot name a file");
        return std::string();
    }
}

inline bool is_sequence(const py::handle& v) { return PyList_Check(v.ptr()) || PyTuple_Check(v.ptr()); }

// ---- Per-image segmentation JSON ---------------------------------------------------------

// The points of an outline [[x, y], ...]; false, with the finding added, when it is not that.
// Booleans count as numbers (NumPy reads true as 1.0) unless every coordinate is one: NumPy
// then types the array bool, which the dataset refuses.
inline bool outline_points(const py::handle& raw, std::vector<double>& xy, const std::string& file,
                           const std::string& where, SampleFindings& out) {
    if (!is_sequence(raw)) {
        out.add(Severity::error, "outline-layout", file, where, "``polygon`` is not a list of [x, y] points");
        return false;
    }
    size_t index = 0, booleans = 0;
    for (py::handle point : raw) {
        double x, y;
        if (!is_sequence(point) || py::len(point) != 2 || !json_number(point[py::int_(0)], x) ||
            !json_number(point[py::int_(1)], y)) {
            out.add(Severity::error, "outline-layout", file, where,
                    "point " + std::to_string(index) + " is " + python_repr(point) + ", not an [x, y] pair of numbers");
            return false;
        }
        booleans += PyBool_Check(py::object(point[py::int_(0)]).ptr()) + PyBool_Check(py::object(point[py::int_(1)]).ptr());
        xy.push_back(x);
        xy.push_back(y);
        ++index;
    }
    if (!xy.empty() && booleans == xy.size()) {
        out.add(Severity::error, "outline-layout", file, where, "the outline's coordinates are booleans, not numbers");
        return false;
    }
    return true;
}

// The segmentation datasets refuse outline points more than 2^24 pixels from the image (OpenCV's
// fill would take minutes); with network inputs up to 16,384 pixels that is past 1,024 image
// sizes, which no real annotation reaches.
inline constexpr double kFarthest = 1024.0;

// Problems of the points of an outline in [0, 1] coordinates (or in pixels when `width` and
// `height` are given). False when the outline cannot be used.
inline bool check_outline(const std::vector<double>& xy, double width, double height, const std::string& file,
                          const std::string& where, SampleFindings& out) {
    bool outside = false, has_length = false;
    for (size_t i = 0; i < xy.size(); i += 2) {
        if (!std::isfinite(xy[i]) || !std::isfinite(xy[i + 1])) {
            out.add(Severity::error, "non-finite", file, where,
                    "point " + std::to_string(i / 2) + " has coordinates that are not finite numbers");
            return false;
        }
        if (std::fabs(xy[i]) > kFarthest * width || std::fabs(xy[i + 1]) > kFarthest * height) {
            out.add(Severity::error, "outline-far", file, where,
                    "point " + std::to_string(i / 2) + " lies more than " + number_text(kFarthest) +
                        " image sizes away: the dataset refuses outlines reaching 2^24 pixels from the image");
            return false;
        }
        const double eps = 1e-6 * std::max(width, height);
        if (xy[i] < -eps || xy[i] > width + eps || xy[i + 1] < -eps || xy[i + 1] > height + eps) outside = true;
        if (i > 0 && (xy[i] != xy[i - 2] || xy[i + 1] != xy[i - 1])) has_length = true;
    }
    if (!has_length) {
        out.add(Severity::warning, "outline-empty", file, where, "all its points coincide: the dataset leaves it out");
        return false;
    }
    if (outside)
        out.add(Severity::warning, "outline-outside", file, where,
                width == 1.0 ? "points outside 0..1: the outline reaches outside the image"
                             : "points outside the " + number_text(width) + "x" + number_text(height) +
                                   " image: the outline reaches outside it");
    return true;
}

// One per-image segmentation annotation. Sets `image` to the image it names (empty when none).
inline void check_segmentation_file(const State& s, const std::string& bytes, const std::string& file,
                                    const py::object& images_folder, size_t num_classes, std::string& image,
                                    SampleFindings& out) {
    py::object content;
    if (!load_json(s, bytes, file, content, out)) return;
    image = json_file_name(s, images_folder, content.attr("get")("image"), true, file, "", "image", out);
    py::object segment = content.attr("get")("segment", py::list());
    if (!PyList_Check(segment.ptr())) {
        out.add(Severity::error, "annotation-layout", file, "segment", "``segment`` is not a list of objects");
        return;
    }
    size_t object_index = 0;
    for (py::handle object : segment) {
        const std::string object_place = "segment[" + std::to_string(object_index++) + "]";
        if (!PyList_Check(object.ptr())) {
            out.add(Severity::error, "annotation-layout", file, object_place, "the object is not a list of parts");
            continue;
        }
        size_t part_index = 0;
        for (py::handle part : object) {
            const std::string where = object_place + "[" + std::to_string(part_index++) + "]";
            if (!PyDict_Check(part.ptr())) {
                out.add(Severity::error, "annotation-layout", file, where, "the part is not a JSON object");
                continue;
            }
            py::object raw = part.attr("get")("polygon"), cls = part.attr("get")("class");
            if (raw.is_none() || cls.is_none()) {
                out.add(Severity::error, "annotation-layout", file, where,
                        std::string("the part has no ``") + (raw.is_none() ? "polygon" : "class") + "``");
                continue;
            }
            const int64_t id = json_class(cls, num_classes, file, where, out);
            if (id < 0) continue;  // the dataset stops at the class, before the outline
            std::vector<double> xy;
            if (!outline_points(raw, xy, file, where, out)) continue;
            if (xy.size() < 6) {
                out.add(Severity::warning, "outline-too-short", file, where,
                        "the outline has " + std::to_string(xy.size() / 2) +
                            " point(s): the dataset leaves it out, with its class");
                continue;
            }
            if (!check_outline(xy, 1.0, 1.0, file, where, out)) continue;
            ++out.objects;
            out.classes.push_back(id);
        }
    }
}

// ---- Head-pose annotations -----------------------------------------------------------------

// Pitch, yaw and roll in degrees: non-finite values are errors, beyond +-99 degrees warnings.
inline void check_angles(const double (&angles)[3], const std::string& file, const std::string& where,
                         const char* unit_note, SampleFindings& out) {
    static const char* const names[3] = {"pitch", "yaw", "roll"};
    for (int a = 0; a < 3; ++a) {
        if (!std::isfinite(angles[a])) {
            out.add(Severity::error, "angles-unusable", file, where, std::string(names[a]) + " is not a finite number");
            return;
        }
    }
    for (int a = 0; a < 3; ++a)
        if (std::fabs(angles[a]) > 99.0)
            out.add(Severity::warning, "angles-out-of-range", file, where,
                    std::string(names[a]) + " " + number_text(std::round(angles[a] * 10) / 10) + " degrees" + unit_note +
                        " is beyond +-99 degrees");
}

inline constexpr double kDegrees = 57.295779513082320876798154814105;  // 180 / pi

// A MATLAB head-pose file (Pose_Para in radians, as in 300W-LP and AFLW2000).
inline void check_pose_mat(State& s, const std::string& bytes, const std::string& file, SampleFindings& out) {
    // Files that would crash loadmat are reported as unreadable without it.
    const std::string unsafe =
        datasets::matlab::unsafe_for_loadmat(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (!unsafe.empty()) {
        out.add(Severity::error, "annotation-unreadable", file, "", "scipy.io.loadmat cannot read it: " + unsafe);
        return;
    }
    py::object mat;
    try {
        mat = scipy_loadmat(s)(s.io.attr("BytesIO")(py::bytes(bytes)));
    } catch (py::error_already_set& e) {
        out.add(Severity::error, "annotation-unreadable", file, "", "scipy.io.loadmat cannot read it: " + error_text(e));
        return;
    }
    if (!pykit::contains(mat, py::str("pt2d")))
        out.add(Severity::error, "annotation-layout", file, "", "has no ``pt2d`` variable, which read_annotations reads");
    if (!pykit::contains(mat, py::str("Pose_Para"))) {
        out.add(Severity::error, "angles-unusable", file, "", "has no ``Pose_Para`` variable: no angles");
        return;
    }
    try {
        py::object pose = s.np.attr("asarray")(mat[py::str("Pose_Para")], py::arg("dtype") = s.np.attr("float64"));
        py::tuple shape = pose.attr("shape");
        py::object row;
        if (shape.size() == 2 && shape[1].cast<long>() == 1 && shape[0].cast<long>() >= 3)
            row = pose[py::make_tuple(py::slice(), py::int_(0))];
        else if (shape.size() >= 1 && shape[0].cast<long>() >= 1)
            row = pose[py::int_(0)];
        std::vector<double> values;
        if (row) values = row.attr("ravel")().attr("tolist")().cast<std::vector<double>>();
        if (values.size() < 3) {
            out.add(Severity::error, "angles-unusable", file, "Pose_Para",
                    "its first row does not hold pitch, yaw and roll (shape " + python_repr(shape) + ")");
            return;
        }
        const double degrees[3] = {values[0] * kDegrees, values[1] * kDegrees, values[2] * kDegrees};
        check_angles(degrees, file, "Pose_Para", " (from radians)", out);
        ++out.objects;
    } catch (py::error_already_set& e) {
        out.add(Severity::error, "angles-unusable", file, "Pose_Para", "is not numeric: " + error_text(e));
    }
}

// Rows of 5 numbers from `value` as np.reshape(value, (-1, 5)) reads them; false, with the
// finding added, when NumPy cannot.
inline bool box_rows(const State& s, const py::object& value, std::vector<double>& rows, const std::string& file,
                     SampleFindings& out) {
    try {
        py::object array = s.np.attr("reshape")(value, py::make_tuple(-1, 5)).attr("astype")(s.np.attr("float64"));
        rows = array.attr("ravel")().attr("tolist")().cast<std::vector<double>>();
        return true;
    } catch (py::error_already_set& e) {
        out.add(Severity::error, "annotation-layout", file, "boxes",
                "``boxes`` cannot be read as rows of 5 numbers: " + error_text(e));
        return false;
    }
}

// A head-pose JSON file with every face's box and angles (AttitudeAndDetectDataset).
inline void check_pose_detect(const State& s, const std::string& bytes, const std::string& file, size_t num_classes,
                              SampleFindings& out) {
    py::object content;
    if (!load_json(s, bytes, file, content, out)) return;
    size_t faces = 1;
    py::object boxes = content.attr("get")("boxes");
    if (boxes.is_none()) {
        out.add(Severity::warning, "face-box-missing", file, "", "has no ``boxes``: served as one empty box");
    } else {
        std::vector<double> rows;
        if (!box_rows(s, boxes, rows, file, out)) return;
        faces = rows.size() / 5;
        for (size_t r = 0; r < faces; ++r) {
            const double* v = &rows[5 * r];
            const std::string where = "boxes[" + std::to_string(r) + "]";
            bool finite = true;
            for (int c = 0; c < 5; ++c) finite = finite && std::isfinite(v[c]);
            if (!finite) {
                out.add(Severity::error, "non-finite", file, where, "the face box holds values that are not finite numbers");
                continue;
            }
            const int64_t id = check_class_id(v[4], num_classes, file, where, out);
            if (id >= 0) out.classes.push_back(id);
            check_relative_box(v[0], v[1], v[2], v[3], file, where, "the face box", out);
        }
        out.objects += static_cast<int64_t>(faces);
    }
    py::object angles = content.attr("get")("angles", py::list());
    if (!is_sequence(angles)) {
        out.add(Severity::error, "angles-unusable", file, "angles", "``angles`` is not a list of faces");
        return;
    }
    const size_t entries = py::len(angles);
    if (entries == 0) {
        out.add(Severity::warning, "angles-missing", file, "angles", "no angles: served as 0, 0, 0");
        return;
    }
    size_t index = 0;
    for (py::handle entry : angles) {
        const std::string where = "angles[" + std::to_string(index++) + "]";
        if (!PyDict_Check(entry.ptr())) {
            out.add(Severity::error, "angles-unusable", file, where, "the entry is not an object with pitch, yaw and roll");
            continue;
        }
        double values[3];
        bool usable = true;
        for (int a = 0; a < 3; ++a) {
            static const char* const keys[3] = {"pitch", "yaw", "roll"};
            py::object v = py::reinterpret_borrow<py::dict>(entry).attr("get")(keys[a]);
            if (!json_number(v, values[a])) {
                out.add(Severity::error, "angles-unusable", file, where,
                        std::string(keys[a]) + (v.is_none() ? " is missing" : " is " + python_repr(v) + ", not a number"));
                usable = false;
                break;
            }
        }
        if (usable) check_angles(values, file, where, "", out);
    }
    if (!boxes.is_none() && entries != faces)
        out.add(Severity::warning, "faces-mismatch", file, "",
                std::to_string(faces) + " face boxes but " + std::to_string(entries) + " angle entries");
}

// A head-pose JSON file whose first face is cropped (AttitudeDatasetJson). `width` and
// `height` are the image's (-1 when unknown).
inline void check_pose_crop(const State& s, const std::string& bytes, const std::string& file, int64_t width,
                            int64_t height, SampleFindings& out) {
    py::object content;
    if (!load_json(s, bytes, file, content, out)) return;
    py::object boxes = content.attr("get")("boxes");
    if (boxes.is_none()) {
        out.add(Severity::error, "face-box-missing", file, "", "has no ``boxes``: the dataset fails on it");
        return;
    }
    if (is_sequence(boxes) && py::len(boxes) == 0) {
        out.add(Severity::warning, "face-box-missing", file, "boxes",
                "no face box: the whole image is served, with the angles 0, 0, 0");
        return;
    }
    std::vector<double> first;
    try {
        py::object array = s.np.attr("asarray")(boxes, py::arg("dtype") = s.np.attr("float64"));
        if (py::len(array.attr("shape")) != 2 || py::int_(array.attr("shape")[py::int_(1)]).cast<long>() != 5)
            throw py::value_error("not rows of 5 numbers");
        first = array[py::int_(0)].attr("tolist")().cast<std::vector<double>>();
    } catch (py::error_already_set& e) {
        out.add(Severity::error, "annotation-layout", file, "boxes", "``boxes`` is not a list of rows of 5 numbers: " + error_text(e));
        return;
    } catch (py::value_error&) {
        out.add(Severity::error, "annotation-layout", file, "boxes", "``boxes`` is not a list of rows of 5 numbers");
        return;
    }
    ++out.objects;
    bool finite = true;
    for (int c = 0; c < 4; ++c) finite = finite && std::isfinite(first[c]);
    if (!finite) {
        out.add(Severity::error, "non-finite", file, "boxes[0]", "the first face box holds values that are not finite numbers");
    } else if (width > 0 && height > 0) {
        // The crop as the dataset computes it: corners truncated toward zero, then clipped.
        const double w = static_cast<double>(width), h = static_cast<double>(height);
        auto corner = [](double v, double limit) { return std::clamp(std::trunc(v), 0.0, limit); };
        const double x1 = corner((first[0] - first[2] * 0.5) * w, w), x2 = corner((first[0] + first[2] * 0.5) * w, w);
        const double y1 = corner((first[1] - first[3] * 0.5) * h, h), y2 = corner((first[1] + first[3] * 0.5) * h, h);
        if (x2 <= x1 || y2 <= y1)
            out.add(Severity::error, "face-box-empty", file, "boxes[0]",
                    "the first face box selects no pixel of the " + std::to_string(width) + "x" + std::to_string(height) +
                        " image: the dataset fails on it");
        else
            check_relative_box(first[0], first[1], first[2], first[3], file, "boxes[0]", "the first face box", out);
    }
    py::object angles = content.attr("get")("angles");
    std::vector<double> triple;
    try {
        if (angles.is_none()) throw py::value_error("missing");
        py::object first_angles = s.np.attr("asarray")(angles[py::int_(0)], py::arg("dtype") = s.np.attr("float64"));
        triple = first_angles.attr("ravel")().attr("tolist")().cast<std::vector<double>>();
        if (py::len(first_angles.attr("shape")) != 1 || triple.size() != 3) throw py::value_error("not three");
    } catch (py::error_already_set&) {
        triple.clear();
    } catch (py::value_error&) {
        triple.clear();
    }
    if (triple.size() != 3) {
        out.add(Severity::error, "angles-unusable", file, "angles",
                angles.is_none() ? "has no ``angles``: the dataset fails on it"
                                 : "the first entry of ``angles`` is not three numbers (pitch, yaw, roll)");
        return;
    }
    const double values[3] = {triple[0], triple[1], triple[2]};
    check_angles(values, file, "angles[0]", "", out);
}

}  // namespace scanner
