// SegmentationDataset: images in one folder, one JSON annotation file per image in another.
#pragma once

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "annotation_json.hpp"
#include "augmentation.hpp"
#include "common/annotations.hpp"
#include "common/fit.hpp"
#include "common/pixels.hpp"
#include "outlines.hpp"
#include "state.hpp"

namespace seg {

// --- construction ---------------------------------------------------------------------------

// A str path holding a NUL byte is refused as Python's open() refuses it, before any lookup
// (os.path.exists would only answer False).
inline void refuse_null_byte(const py::object& path, const char* what) {
    if (PyUnicode_Check(path.ptr()) && pykit::contains(path, py::str(std::string(1, '\0'))))
        pykit::raise(PyExc_ValueError, pykit::format("{} contains a null byte: {!r}", what, path));
}

// Every file of `folder` whose extension is "json" in any letter case, in glob's order. The
// folder name is escaped so that brackets in it are not read as patterns.
inline py::object list_annotations(const State& s, const py::object& folder) {
    return s.glob(s.join(s.glob_escape(folder), py::str("*.[jJ][sS][oO][nN]")));
}

inline py::object num_segmentation_classes(const py::object& self) {
    return py::int_(pykit::len(self.attr("labels")) + 1);
}

inline py::object num_train_samples(const py::object& self) { return self.attr("num_training_samples"); }

inline py::object validate_tasks(const py::object& self, const py::object& tasks) {
    if (tasks.is_none()) pykit::raise(PyExc_ValueError, "tasks should be a list of strings: None is not allowed");
    py::object supported = self.attr("tasks");
    for (py::handle task : tasks)
        if (!pykit::contains(supported, task))
            pykit::raise(PyExc_ValueError, pykit::format("``{}`` is not a valid task", task));
    return tasks;
}

inline py::object validate_path(const State& s, const py::object&, const py::object& path) {
    if (!path.is_none()) refuse_null_byte(path, "Provided path");
    if (path.is_none() || !pykit::truthy(s.exists(path)))
        pykit::raise(PyExc_FileNotFoundError, pykit::format("Provided path does not exist at: {}", path));
    return path;
}

inline void construct(const State& s, const py::object& self, const py::object& shape,
                      const py::object& train_images, const py::object& val_images,
                      const py::object& train_annotations, const py::object& val_annotations,
                      const py::object& labels, const py::object& tasks, const py::object& num_points,
                      const py::object& letter_box, const py::object& add_bkg_class) {
    self.attr("tasks") = pykit::list_of(py::str("segment"), py::str("boxes"));
    self.attr("shape") = shape;
    self.attr("train_images") = self.attr("validate_path")(train_images);
    self.attr("val_images") = self.attr("validate_path")(val_images);
    self.attr("train_annotations") = self.attr("validate_path")(train_annotations);
    self.attr("val_annotations") = self.attr("validate_path")(val_annotations);
    self.attr("tasks") = self.attr("validate_tasks")(tasks);
    self.attr("labels") = labels;
    self.attr("num_points") = num_points;
    self.attr("letter_box") = letter_box;
    self.attr("class_offset") = py::int_(pykit::truthy(add_bkg_class) ? 1 : 0);
    self.attr("_augmentation_pipeline") = build_pipeline(s, self.attr("shape"), true);
    py::object train_storage = list_annotations(s, self.attr("train_annotations"));
    self.attr("train_storage") = train_storage;
    self.attr("val_storage") = list_annotations(s, self.attr("val_annotations"));
    if (pykit::len(train_storage) == 0)
        pykit::raise(PyExc_ValueError, pykit::format("Current dataset has 0 annotation files in the provided folder: {}",
                                                     self.attr("train_annotations")));
    self.attr("num_training_samples") = py::int_(pykit::len(train_storage));
    self.attr("num_validation_samples") = py::int_(pykit::len(self.attr("val_storage")));
}

// --- reading one sample ---------------------------------------------------------------------

// The path an annotation file argument holds: the tensor's bytes, or a str or bytes given as
// they are. Anything else is refused: an integer would be taken by open() as a file
// descriptor that this dataset does not own.
inline py::object annotation_path(const py::object& annotation_file) {
    py::object path = py::hasattr(annotation_file, "numpy") ? annotation_file.attr("numpy")() : annotation_file;
    if (!PyUnicode_Check(path.ptr()) && !PyBytes_Check(path.ptr()))
        pykit::raise(PyExc_TypeError, std::string("annotation_file must be a path (str or bytes), got ") +
                                          Py_TYPE(path.ptr())->tp_name);
    return path;
}

// The path as text for messages (undecodable bytes replaced).
inline std::string shown_path(const py::object& path) {
    py::object text = PyBytes_Check(path.ptr()) ? py::object(path.attr("decode")("utf-8", "replace")) : path;
    return pykit::as_str(text).cast<std::string>();
}

// `json.load(open(path))`, closing the file. Text that is not JSON keeps json's own error type
// with the file named in front of its message; text that is not UTF-8, or nests deeper than
// the parser can follow, is a ValueError naming the file. The original error is the cause.
inline py::object load_json(const State& s, const py::object& path, const std::string& file) {
    try {
        return pykit::closing(s.open(path), s.json.attr("load"));
    } catch (py::error_already_set& e) {
        py::object decode_error = s.json.attr("JSONDecodeError");
        py::object replaced;
        if (e.matches(decode_error))
            replaced = decode_error(file + " is not valid JSON: " + pykit::as_str(e.value().attr("msg")).cast<std::string>(),
                                    e.value().attr("doc"), e.value().attr("pos"));
        else if (e.matches(PyExc_UnicodeDecodeError))
            replaced = py::reinterpret_borrow<py::object>(PyExc_ValueError)(file + " is not UTF-8 text (" +
                                                                            pykit::as_str(e.value()).cast<std::string>() + ")");
        else if (e.matches(PyExc_RecursionError))
            replaced = py::reinterpret_borrow<py::object>(PyExc_ValueError)(file + " nests JSON values too deeply to read");
        else
            throw;
        PyException_SetCause(replaced.ptr(), e.value().inc_ref().ptr());  // steals the reference
        pykit::raise_instance(replaced);
    }
}

// The annotation file's content, which must be a JSON object.
inline py::dict load_annotation(const State& s, const py::object& path, const std::string& shown) {
    py::object content = load_json(s, path, "Annotation file " + shown);
    if (!PyDict_Check(content.ptr()))
        pykit::raise(PyExc_ValueError, "Annotation file " + shown + " does not hold a JSON object");
    return content;
}

// An image file name read from JSON: text that the file system can take (a lone surrogate
// cannot be encoded into a path).
inline void check_file_name(const py::object& name, const std::string& where) {
    if (!PyUnicode_Check(name.ptr())) pykit::raise(PyExc_ValueError, where + " is not a file name (a string)");
    py::object encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(name.ptr()));
    if (encoded) return;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();  // reported with the place it comes from
    pykit::raise(PyExc_ValueError, where + " cannot name a file: " + py::repr(name).cast<std::string>());
}

// join(train_images or val_images, basename(name)), `name` the annotation's ``image``.
inline py::object image_path_of(const State& s, const py::object& self, const py::object& name, bool training,
                                const std::string& shown) {
    if (name.is_none()) pykit::raise(PyExc_ValueError, "Annotation file " + shown + " has no ``image`` entry");
    check_file_name(name, "Annotation file " + shown + ": ``image``");
    return s.join(self.attr(training ? "train_images" : "val_images"), s.basename(name));
}

// A list of [x, y] pairs of Python numbers as a K x 2 float64 array; false (nothing built)
// when the value has any other form, which NumPy then reads as the annotation says.
inline bool pairs_to_array(const py::handle& value, py::object& out) {
    if (!PyList_Check(value.ptr())) return false;
    const Py_ssize_t k = PyList_GET_SIZE(value.ptr());
    py::array_t<double> array({k, Py_ssize_t(2)});
    double* data = array.mutable_data();
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* pair = PyList_GET_ITEM(value.ptr(), i);
        if (!PyList_Check(pair) || PyList_GET_SIZE(pair) != 2) return false;
        for (Py_ssize_t c = 0; c < 2; ++c) {
            PyObject* v = PyList_GET_ITEM(pair, c);
            if (PyFloat_CheckExact(v)) {
                data[2 * i + c] = PyFloat_AS_DOUBLE(v);
            } else if (PyLong_CheckExact(v)) {
                const double d = PyLong_AsDouble(v);
                if (d == -1.0 && PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
                    PyErr_Clear();  // past double range: NumPy decides (an object array)
                    return false;
                }
                data[2 * i + c] = d;
            } else {
                return false;
            }
        }
    }
    out = std::move(array);
    return true;
}

// A part's class as an int: a whole number (an integral float too, as np.int32 would take it)
// that indexes `labels` (when they are a list; else any int32). Painted as class + 1.
inline py::int_ part_class(const py::object& cls, const py::object& labels, const std::string& where) {
    const bool number = !PyBool_Check(cls.ptr()) && (PyLong_Check(cls.ptr()) || PyFloat_Check(cls.ptr()));
    if (!number || (PyFloat_Check(cls.ptr()) && !pykit::truthy(cls.attr("is_integer")())))
        pykit::raise(PyExc_ValueError, where + ": the part's ``class`` is not a whole number: " +
                                           py::repr(cls).cast<std::string>());
    py::int_ value = pykit::as_int(cls);
    const bool listed = PyList_Check(labels.ptr());
    const long long count = listed ? static_cast<long long>(pykit::len(labels)) : (1LL << 31) - 1;
    if (pykit::holds(value, py::int_(0), Py_LT) || pykit::holds(value, py::int_(count), Py_GE)) {
        if (!listed) pykit::raise(PyExc_ValueError, where + ": class " + pykit::as_str(value).cast<std::string>() +
                                                      " is outside the int32 range of masks");
        pykit::raise(PyExc_ValueError, where + ": class " + pykit::as_str(value).cast<std::string>() +
                                           " is not an index of the " + std::to_string(count) + " labels (0 to " +
                                           std::to_string(count - 1) + ")");
    }
    return value;
}

// A part's points mapped into the fitted image: mask_padding(polygon, w, h, padw, padh).
inline Outline mapped_outline(const State& s, const py::object& polygon, const py::object& cls,
                              const datasets::Fitted& fit, const std::string& where) {
    py::object points = s.mask_padding(polygon, fit.w, fit.h, fit.padw, fit.padh);
    return Outline{outline_points(points, where), cls, where};
}

// One part of an object: its outline mapped into the fitted image, or false when it has fewer
// than three points (it encloses nothing and is skipped with its class).
inline bool part_outline(const State& s, const py::handle& part, const py::object& labels,
                         const datasets::Fitted& fit, const std::string& where, Outline& out) {
    if (!PyDict_Check(part.ptr())) pykit::raise(PyExc_ValueError, where + ": the part is not a JSON object");
    py::object raw = part.attr("get")("polygon");
    py::object cls = part.attr("get")("class");
    if (raw.is_none()) pykit::raise(PyExc_ValueError, where + ": the part has no ``polygon``");
    if (cls.is_none()) pykit::raise(PyExc_ValueError, where + ": the part has no ``class``");
    cls = part_class(cls, labels, where);
    py::object polygon;
    if (!pairs_to_array(raw, polygon)) polygon = s.np.attr("array")(raw);
    if (pykit::len(polygon) < 3) return false;
    py::tuple dims = polygon.attr("shape");
    if (py::len(dims) != 2 || !pykit::equals(dims[1], py::int_(2)))
        pykit::raise(PyExc_ValueError, where + ": the outline is not a list of [x, y] points");
    // Text, booleans or integers past float range are no coordinates.
    if (!pykit::contains(py::str("iuf"), polygon.attr("dtype").attr("kind")))
        pykit::raise(PyExc_ValueError, where + ": the outline's points are not numbers in float range");
    out = mapped_outline(s, polygon, cls, fit, where);
    return true;
}

// Every part of every object of `segment` (json.load's content), in order; errors name the part
// as segment[i][j].
inline std::vector<Outline> collect_outlines(const State& s, const py::object& segment, const py::object& labels,
                                             const datasets::Fitted& fit, const std::string& shown) {
    const std::string file = "Annotation file " + shown;
    std::vector<Outline> outlines;
    size_t object_index = 0;
    for (py::handle object : segment) {
        const std::string at = file + ", segment[" + std::to_string(object_index++) + "]";
        if (!PyList_Check(object.ptr())) pykit::raise(PyExc_ValueError, at + ": the object is not a list of parts");
        size_t part_index = 0;
        for (py::handle part : object) {
            Outline outline;
            if (part_outline(s, part, labels, fit, at + "[" + std::to_string(part_index++) + "]", outline))
                outlines.push_back(std::move(outline));
        }
    }
    return outlines;
}

// The same for a file read natively: the same checks in the same order, on the same values.
inline std::vector<Outline> collect_plain_outlines(const State& s, const AnnotationData& data,
                                                   const py::object& labels, const datasets::Fitted& fit,
                                                   const std::string& shown) {
    std::vector<Outline> outlines;
    for (size_t i = 0; i < data.segment.size(); ++i) {
        for (size_t j = 0; j < data.segment[i].size(); ++j) {
            const PartData& part = data.segment[i][j];
            const std::string where =
                "Annotation file " + shown + ", segment[" + std::to_string(i) + "][" + std::to_string(j) + "]";
            py::object cls = part.class_is_integer ? py::object(py::int_(part.class_integer))
                                                   : py::object(py::float_(part.class_number));
            cls = part_class(cls, labels, where);
            const py::ssize_t points = static_cast<py::ssize_t>(part.xy.size() / 2);
            if (points < 3) continue;
            py::array_t<double> polygon({points, py::ssize_t(2)});
            std::copy(part.xy.begin(), part.xy.end(), polygon.mutable_data());
            outlines.push_back(mapped_outline(s, polygon, cls, fit, where));
        }
    }
    return outlines;
}

// The annotation file read natively when it is plain (annotation_json.hpp); false leaves it
// to json.load (as for a path holding a NUL byte, which open() refuses).
inline bool read_plain_annotation(const py::object& path, AnnotationData& out) {
    py::object encoded = PyBytes_Check(path.ptr()) ? path
                                                   : py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded) {
        PyErr_Clear();  // open() reports the path's own error
        return false;
    }
    const std::string file = py::bytes(encoded);
    if (file.find('\0') != std::string::npos) return false;
    py::gil_scoped_release nogil;
    std::string text;
    return datasets::read_file(file.c_str(), text) && parse_annotation(text, out);
}

// _read_data: annotation file -> (image, outlines, classes[, image path]).
inline py::object read_sample(const State& s, const py::object& self, const py::object& annotation_file,
                              const py::object& train) {
    py::object path = annotation_path(annotation_file);
    const std::string shown = shown_path(path);
    AnnotationData plain;
    const bool native = read_plain_annotation(path, plain);
    py::dict content = native ? py::dict() : load_annotation(s, path, shown);
    const bool training = pykit::truthy(train);
    py::object name = native ? py::object(py::str(plain.image)) : py::object(content.attr("get")("image"));
    py::object image_path = image_path_of(s, self, name, training, shown);
    datasets::Fitted fit = datasets::fit_to_shape(s, datasets::read_rgb(s, image_path), self.attr("shape"),
                                                 pykit::truthy(self.attr("letter_box")), datasets::ChannelAxis::as_resized);

    py::object segment = native ? py::list() : py::object(content.attr("get")("segment", py::list()));
    if (!PyList_Check(segment.ptr()))
        pykit::raise(PyExc_ValueError, "Annotation file " + shown + ": ``segment`` is not a list of objects");
    const bool any = native ? !plain.segment.empty() : pykit::len(segment) > 0;
    py::object masks = empty_array(s, s.np_float32), classes = empty_array(s, s.np_int32);
    if (any && pykit::contains(self.attr("tasks"), py::str("segment"))) {
        py::object labels = self.attr("labels");
        std::vector<Outline> outlines = native ? collect_plain_outlines(s, plain, labels, fit, shown)
                                               : collect_outlines(s, segment, labels, fit, shown);
        std::tie(masks, classes) = resample_all(s, outlines, self.attr("num_points"));
    }
    if (training) return py::make_tuple(fit.image, masks, classes);
    return py::make_tuple(fit.image, masks, classes, image_path);
}

// read_data: tf.py_function(self._read_data, [annotation_file, train], Tout=...).
inline py::object graph_read(const State& s, const py::object& self, const py::object& annotation_file,
                             const py::object& train) {
    py::list types = pykit::list_of(s.tf_uint8, s.tf_float32, s.tf_int32);
    if (!pykit::truthy(train)) types.append(s.tf_string);
    return s.tf.attr("py_function")(self.attr("_read_data"), pykit::list_of(annotation_file, train),
                                    py::arg("Tout") = types);
}

}  // namespace seg
