// AttitudeAndDetectDataset: every face of an image with its box and its three angles, served
// in padded batches.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "samples.hpp"

namespace attitude {

// AttitudeAndDetectDataset.__init__
inline void construct_detect(const State& s, const py::object& self, const py::object& shape,
                             const py::object& train_images, const py::object& train_annotations,
                             const py::object& val_images, const py::object& val_annotations,
                             const py::object& classes, const py::object& add_bkg_class) {
    pykit::super(s.AttitudeAndDetectDataset, self)
        .attr("__init__")(shape, train_images, train_annotations, val_images, val_annotations,
                          py::arg("num_bins") = 66, py::arg("file_extension") = "json");
    self.attr("add_bkg_class") = add_bkg_class;
    const bool background = pykit::truthy(add_bkg_class);
    self.attr("classes") = background ? py::object(list_of(py::str("background")) + classes) : classes;
    self.attr("label_offset") = py::int_(background ? 1 : 0);
}

// get_classes()
inline py::object get_classes(const py::object& self) { return self.attr("classes"); }

// tf_load_instance(data), stored wrapped by tf.function
inline py::object tf_load_detect_instance(const State& s, const py::object& self, const py::object& data) {
    return numpy_function(s, self.attr("_load_instance"), list_of(data), {"uint8", "float32", "float32"});
}

// A class id as the file stores it must be a whole number from 0: a negative id would become
// the first class (negative values are zeroed below) and a fraction a label of no class. The
// class list is no bound here: ids past it are served as stored.
inline void require_class_ids(const py::object& boxes, const py::str& path) {
    const datasets::Doubles ids = datasets::as_doubles(boxes[datasets::column(4)], "The class ids");
    const py::ssize_t row = datasets::first_foreign_class(ids, 1, std::numeric_limits<long long>::max());
    if (row >= 0)
        pykit::raise(PyExc_ValueError, pykit::format("Box {} in {} has the class id {}: not a whole number from 0", row,
                                                     path, boxes[py::make_tuple(row, 4)]));
}

// The record's boxes (x-centre, y-centre, width, height relative to the image, class id) as
// float32 pixel corners of the resized image, negative values zeroed, labels offset. Without
// a `boxes` entry: the row 0, 0, 0, 0, 0 before the offset.
inline py::object face_boxes(const State& s, const py::object& self, const py::object& record, const py::str& path) {
    const py::object np = s.np, float64 = np.attr("float64");
    py::object shape = self.attr("shape");
    py::object boxes;
    if (!pykit::contains(record, py::str("boxes"))) {
        boxes = np.attr("array")(list_of(list_of(0, 0, 0, 0, 0)), py::arg("dtype") = np.attr("float32"));
    } else {
        // As float64 whatever the JSON numbers look like: a row of integers must not make
        // integer pixel corners.
        py::object stored = np.attr("asarray")(record[py::str("boxes")], py::arg("dtype") = float64);
        boxes = np.attr("reshape")(stored, py::make_tuple(-1, 5));
        require_class_ids(boxes, path);
    }
    py::object bboxes = s.xywhn2xyxy(boxes, datasets::item(shape, 1), datasets::item(shape, 0), 0, 0);
    bboxes[pykit::compare(bboxes, py::int_(0), Py_LT)] = py::int_(0);
    const py::tuple labels = datasets::column(4);
    py::object shifted = py::object(bboxes[labels]) + py::object(self.attr("label_offset"));
    bboxes[labels] = shifted;
    bboxes = bboxes.attr("astype")(np.attr("float32"));
    const py::ssize_t bad = first_non_finite(bboxes, "The boxes");
    if (bad >= 0)
        pykit::raise(PyExc_ValueError,
                     pykit::format("Box {} in {} does not give finite float32 pixel corners and label: {}", bad / 5, path,
                                   boxes[py::int_(bad / 5)]));
    return bboxes;
}

// The record's angles, one row of pitch, yaw and roll per face in stored order; the row
// 0, 0, 0 when there is none.
inline py::object face_angles(const State& s, const py::object& record, const py::str& path) {
    py::list rows;
    py::object faces = record.attr("get")("angles", py::list());
    for (py::handle face : faces) {
        if (!PyDict_Check(face.ptr()))
            pykit::raise(PyExc_ValueError,
                         pykit::format("Angle entry {} in {} must be an object with pitch, yaw and roll, not {}",
                                       pykit::len(rows), path, Py_TYPE(face.ptr())->tp_name));
        py::object get = face.attr("get");
        rows.append(list_of(get("pitch"), get("yaw"), get("roll")));
    }
    if (pykit::len(rows) == 0) rows.append(list_of(0, 0, 0));
    py::object angles = s.np.attr("asarray")(rows, py::arg("dtype") = s.np.attr("float32"));
    // A missing key (None) becomes NaN in float32, as do NaN and out-of-range numbers.
    const py::ssize_t bad = first_non_finite(angles, "The angles");
    if (bad >= 0) {
        const char* names[] = {"pitch", "yaw", "roll"};
        pykit::raise(PyExc_ValueError, pykit::format("Angle entry {} in {}: the {} is {}, not a finite float32 number",
                                                     bad / 3, path, names[bad % 3], rows[bad / 3][py::int_(bad % 3)]));
    }
    return angles;
}

// The fast way to the same boxes and angles, for records whose every number is a plain Python
// float or int (bools and ints past 2^53 excepted) in the expected places: a list of 5-number
// rows under "boxes" with whole class ids from 0, and "angles" objects with all three angles.
// The arithmetic is xywhn2xyxy's own, in doubles, then the float32 conversion NumPy makes.
// Returns nothing (and the NumPy steps above decide, with their errors) for any other record,
// and for any box or angle that is not a finite float32 number.
namespace plain_faces {

inline bool number(PyObject* v, double& out) {
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    const long long whole = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || (whole == -1 && PyErr_Occurred()) || whole > (1LL << 53) || whole < -(1LL << 53)) {
        PyErr_Clear();
        return false;
    }
    out = static_cast<double>(whole);
    return true;
}

inline py::array_t<float> rows_array(const std::vector<float>& values, py::ssize_t columns) {
    py::array_t<float> out({static_cast<py::ssize_t>(values.size()) / columns, columns});
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

// [x1, y1, x2, y2, label + offset] per row, as float32, or nothing.
inline std::optional<std::vector<float>> boxes(PyObject* rows, double width, double height, double offset) {
    if (!PyList_CheckExact(rows)) return std::nullopt;
    std::vector<float> out;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(rows); ++r) {
        PyObject* row = PyList_GET_ITEM(rows, r);
        if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) != 5) return std::nullopt;
        double x[5];
        for (int k = 0; k < 5; ++k)
            if (!number(PyList_GET_ITEM(row, k), x[k])) return std::nullopt;
        if (!(x[4] >= 0 && std::floor(x[4]) == x[4] && x[4] < 9007199254740992.0)) return std::nullopt;
        const double corners[5] = {width * (x[0] - x[2] / 2) + 0, height * (x[1] - x[3] / 2) + 0,
                                   width * (x[0] + x[2] / 2) + 0, height * (x[1] + x[3] / 2) + 0, x[4]};
        for (int k = 0; k < 5; ++k) {
            double v = corners[k] < 0 ? 0.0 : corners[k];
            if (k == 4) v += offset;
            const float f = static_cast<float>(v);
            if (!std::isfinite(f)) return std::nullopt;
            out.push_back(f);
        }
    }
    return out;
}

// [pitch, yaw, roll] per face, as float32, or nothing.
inline std::optional<std::vector<float>> angles(PyObject* faces) {
    if (!PyList_CheckExact(faces)) return std::nullopt;
    std::vector<float> out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(faces); ++i) {
        PyObject* face = PyList_GET_ITEM(faces, i);
        if (!PyDict_CheckExact(face)) return std::nullopt;
        for (const char* name : {"pitch", "yaw", "roll"}) {
            PyObject* v = PyDict_GetItemString(face, name);  // borrowed; a missing key gives NULL
            double d;
            if (!v || !number(v, d)) return std::nullopt;
            const float f = static_cast<float>(d);
            if (!std::isfinite(f)) return std::nullopt;
            out.push_back(f);
        }
    }
    if (out.empty()) out = {0.0f, 0.0f, 0.0f};
    return out;
}

}  // namespace plain_faces

// (boxes, angles) of a record the fast way (see plain_faces), or nothing.
inline std::optional<std::pair<py::object, py::object>> plain_face_rows(const py::object& self,
                                                                        const py::object& record) {
    if (!PyDict_CheckExact(record.ptr())) return std::nullopt;
    PyObject* rows = PyDict_GetItemString(record.ptr(), "boxes");  // borrowed
    PyObject* faces = PyDict_GetItemString(record.ptr(), "angles");
    if (!rows || !faces) return std::nullopt;
    py::object shape = self.attr("shape"), offset = self.attr("label_offset");
    double width, height, shift;
    if (!PyList_CheckExact(shape.ptr()) || PyList_GET_SIZE(shape.ptr()) < 2 ||
        !plain_faces::number(PyList_GET_ITEM(shape.ptr(), 1), width) ||
        !plain_faces::number(PyList_GET_ITEM(shape.ptr(), 0), height) || !plain_faces::number(offset.ptr(), shift))
        return std::nullopt;
    std::optional<std::vector<float>> boxes = plain_faces::boxes(rows, width, height, shift);
    if (!boxes) return std::nullopt;
    std::optional<std::vector<float>> angles = plain_faces::angles(faces);
    if (!angles) return std::nullopt;
    return std::make_pair(py::object(plain_faces::rows_array(*boxes, 5)), py::object(plain_faces::rows_array(*angles, 3)));
}

inline py::tuple load_detect_sample(const State& s, const py::object& self, const py::object& data) {
    py::object img = resize_to_shape(s, datasets::read_rgb(s, entry_path(data, 0)), self.attr("shape"));
    py::str ann_path = entry_path(data, 1);
    py::object record = read_record(s, ann_path);
    if (auto rows = plain_face_rows(self, record)) return py::make_tuple(img, rows->first, rows->second);
    py::object boxes = face_boxes(s, self, record, ann_path);  // boxes first: their error is reported first
    py::object angles = face_angles(s, record, ann_path);
    return py::make_tuple(img, boxes, angles);
}

// _load_instance(data) -> (image, boxes, angles)
inline py::tuple load_detect_instance(const State& s, const py::object& self, const py::object& data) {
    return naming_the_sample(&load_detect_sample, s, self, data);
}

// tf_augment(image, bboxes, angles)
inline py::object tf_augment_detect(const State& s, const py::object& self, const py::object& image,
                                    const py::object& bboxes, const py::object& angles) {
    return numpy_function(s, self.attr("_augment"), list_of(image, bboxes, angles), {"uint8", "float32", "float32"});
}

// _augment(image, bboxes, angles): the hook leaves the sample as it is.
inline py::tuple augment_detect(const py::object&, const py::object& image, const py::object& bboxes,
                                const py::object& angles) {
    return py::make_tuple(image, bboxes, angles);
}

// build_train_iterator(batch_size, prefetch): as the base's, with the boxes and angles of
// every sample padded with zero rows to the largest counts in its batch.
inline py::object build_detect_train_iterator(const State& s, const py::object& self, const py::object& batch_size,
                                              const py::object& prefetch) {
    const py::object autotune = s.tf.attr("data").attr("AUTOTUNE");
    py::object storage = self.attr("train_storage");
    py::object ds = s.tf.attr("data").attr("Dataset").attr("from_tensor_slices")(storage);
    ds = ds.attr("shuffle")(py::arg("buffer_size") = py::int_(pykit::len(storage)),
                            py::arg("reshuffle_each_iteration") = true);
    py::object shape = self.attr("shape");
    const std::optional<py::tuple> image_shape = padded_image_shape(shape);
    if (image_shape && batched_hooks_apply(self, s.AttitudeAndDetectDataset)) {
        // The same elements, a whole batch loaded and padded per call (batches.hpp).
        ds = ds.attr("batch")(py::arg("batch_size") = batch_size);
        py::object read_batch = py::module_::import("functools").attr("partial")(s.read_face_batch, self, image_shape.value());
        ds = ds.attr("map")(read_batch, py::arg("num_parallel_calls") = autotune);
    } else {
        ds = ds.attr("map")(self.attr("tf_load_instance"), py::arg("num_parallel_calls") = autotune);
        ds = ds.attr("map")(self.attr("tf_augment"), py::arg("num_parallel_calls") = autotune);
        py::tuple padded_shapes = py::make_tuple(shape, py::make_tuple(py::none(), 5), py::make_tuple(py::none(), 3));
        ds = ds.attr("padded_batch")(py::arg("batch_size") = batch_size, py::arg("padded_shapes") = padded_shapes);
    }
    return datasets::without_autotuning(s.tf, ds.attr("prefetch")(py::arg("buffer_size") = prefetch));
}

}  // namespace attitude
