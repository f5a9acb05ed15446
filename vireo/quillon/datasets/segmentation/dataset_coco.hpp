// SegmentationDatasetJsonCOCO: the training split of a COCO-style JSON file, indexed once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "augmentation.hpp"
#include "dataset.hpp"
#include "common/fit.hpp"
#include "common/pixels.hpp"
#include "outlines.hpp"
#include "state.hpp"

namespace seg {

// --- construction: reading and indexing the training file -----------------------------------

// Where an entry of the file lies, for messages: "COCO file <path>, images[3]".
inline std::string entry_at(const std::string& shown, const char* list, size_t index) {
    return "COCO file " + shown + ", " + list + "[" + std::to_string(index) + "]";
}

// Ids index dictionaries: a list or an object can be no id.
inline void check_id(const py::object& id, const std::string& where, const char* key) {
    if (PyList_Check(id.ptr()) || PyDict_Check(id.ptr()))
        pykit::raise(PyExc_ValueError, where + ": ``" + key + "`` must be a number or a string");
}

// `value` must be a JSON list (the file's ``images``, ``categories`` or ``annotations``).
inline void check_list(const py::object& value, const std::string& shown, const char* key) {
    if (!PyList_Check(value.ptr()))
        pykit::raise(PyExc_ValueError, "COCO file " + shown + ": ``" + key + "`` is not a list");
}

// The training file's content; the path must name an existing file holding a JSON object.
inline py::dict load_coco_file(const State& s, const py::object& path) {
    if (pykit::truthy(path)) refuse_null_byte(path, "Annotation file for training");
    if (!pykit::truthy(path) || !pykit::truthy(s.exists(path)))
        pykit::raise(PyExc_FileNotFoundError,
                     pykit::format("Annotation file for training was not found in the given location: {}", path));
    const std::string file = "Annotation file " + shown_path(path);
    py::object content = load_json(s, path, file);
    if (!PyDict_Check(content.ptr())) pykit::raise(PyExc_ValueError, file + " does not hold a JSON object");
    return content;
}

// Category names, in file order, into `labels` (id 0 skipped); returns category id -> class,
// the category's position in `labels` (painted as position + 1).
inline py::dict read_categories(const py::object& categories, const std::string& shown, py::list& labels) {
    check_list(categories, shown, "categories");
    py::dict class_index;
    size_t at = 0;
    for (py::handle category : categories) {
        const std::string where = entry_at(shown, "categories", at++);
        if (!PyDict_Check(category.ptr())) pykit::raise(PyExc_ValueError, where + " is not a JSON object");
        py::object id = category.attr("get")("id", 0);
        check_id(id, where, "id");
        if (pykit::equals(id, py::int_(0))) continue;
        if (!class_index.contains(id)) class_index[id] = py::int_(pykit::len(labels));
        labels.append(category.attr("get")("name", py::none()));
    }
    return class_index;
}

// Image file names and ids into `names` and `ids`, in file order; returns id -> first
// position. Every entry must name its file and its id: an entry without them could never be
// read, and would otherwise fail only when its turn came in training.
inline py::dict read_image_list(const py::object& tqdm, const py::object& images, const std::string& shown,
                                py::list& names, py::list& ids) {
    py::dict positions;
    size_t at = 0;
    for (py::handle image : tqdm.attr("tqdm")(images, py::arg("desc") = "Reading images")) {
        const std::string where = entry_at(shown, "images", at++);
        if (!PyDict_Check(image.ptr())) pykit::raise(PyExc_ValueError, where + " is not a JSON object");
        py::object name = image.attr("get")("file_name", py::none());
        py::object id = image.attr("get")("id", py::none());
        if (name.is_none()) pykit::raise(PyExc_ValueError, where + " has no ``file_name``");
        check_file_name(name, where + ": ``file_name``");
        if (id.is_none()) pykit::raise(PyExc_ValueError, where + " has no ``id``");
        check_id(id, where, "id");
        names.append(name);
        if (!PyDict_SetDefault(positions.ptr(), id.ptr(), py::int_(pykit::len(ids)).ptr()))
            throw py::error_already_set();
        ids.append(id);
    }
    return positions;
}

// np.array(coordinates).reshape(-1, 2) built directly for a flat list of Python ints (int64)
// or of ints and floats (float64), as NumPy types them; false for any other form.
inline bool flat_to_array(const py::handle& value, py::object& out) {
    if (!PyList_Check(value.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(value.ptr());
    if (n % 2 != 0) return false;
    bool any_float = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyList_GET_ITEM(value.ptr(), i);
        if (PyFloat_CheckExact(v)) any_float = true;
        else if (!PyLong_CheckExact(v)) return false;
    }
    const std::vector<py::ssize_t> shape{n / 2, 2};
    if (any_float) {
        py::array_t<double> array(shape);
        double* data = array.mutable_data();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* v = PyList_GET_ITEM(value.ptr(), i);
            data[i] = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyLong_AsDouble(v);
            if (data[i] == -1.0 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
                PyErr_Clear();  // an int past double range: NumPy decides
                return false;
            }
        }
        out = std::move(array);
    } else {
        py::array_t<int64_t> array(shape);
        int64_t* data = array.mutable_data();
        for (Py_ssize_t i = 0; i < n; ++i) {
            int overflow = 0;
            data[i] = PyLong_AsLongLongAndOverflow(PyList_GET_ITEM(value.ptr(), i), &overflow);
            if (data[i] == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (overflow) return false;  // past int64: NumPy decides
        }
        out = std::move(array);
    }
    return true;
}

// One polygon of an annotation as points x 2 numbers, as np.array(polygon).reshape(-1, 2) gives
// it; a clear error for anything that is not a flat list of numbers in pairs.
inline py::object polygon_array(const State& s, const py::handle& polygon, const std::string& where) {
    py::object array;
    if (flat_to_array(polygon, array)) return array;
    const std::string refused = where + ": a polygon is not a flat list of x, y coordinates";
    try {
        array = s.np.attr("array")(polygon).attr("reshape")(-1, 2);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        pykit::raise(PyExc_ValueError, refused + " (" + e.what() + ")");
    }
    // Numbers only: text or nested objects would fail only when the image is read.
    if (!pykit::contains(py::str("iuf"), array.attr("dtype").attr("kind")))
        pykit::raise(PyExc_ValueError, refused + " (not numbers)");
    return array;
}

// storage.setdefault(img_id, []).append(record)
inline void add_record(py::dict& storage, const py::object& img_id, const py::dict& record) {
    py::object records = pykit::dict_find(storage, img_id);
    if (!records) {
        storage[img_id] = pykit::list_of(record);
        return;
    }
    if (PyList_Append(records.ptr(), record.ptr()) < 0) throw py::error_already_set();
}

// What indexing skipped, printed once after the loop.
struct Skipped {
    size_t run_length = 0, unknown_category = 0;
};

// One annotation's polygons into `storage` under its image id.
inline void index_annotation(const State& s, const py::handle& annotation, const std::string& where,
                             const py::dict& class_index, py::dict& storage, Skipped& skipped) {
    if (!PyDict_Check(annotation.ptr())) pykit::raise(PyExc_TypeError, where + " is not a JSON object");
    py::object img_id = annotation.attr("get")("image_id", 0);
    py::object polygons = annotation.attr("get")("segmentation");
    if (PyDict_Check(polygons.ptr())) {  // run-length form (crowd regions): not indexed
        ++skipped.run_length;
        return;
    }
    if (!PyList_Check(polygons.ptr())) pykit::raise(PyExc_TypeError, where + " has no ``segmentation`` list");
    check_id(img_id, where, "image_id");
    py::object category = annotation.attr("get")("category_id", 0);
    check_id(category, where, "category_id");
    if (!class_index.contains(category)) {
        ++skipped.unknown_category;
        return;
    }
    for (py::handle polygon : polygons) {
        py::dict record;
        record["class"] = category;
        record["polygon"] = polygon_array(s, polygon, where);
        add_record(storage, img_id, record);
    }
}

inline void index_annotations(const State& s, const py::object& tqdm, const py::object& annotations,
                              const std::string& shown, const py::dict& class_index, py::dict& storage) {
    Skipped skipped;
    size_t at = 0;
    for (py::handle annotation : tqdm.attr("tqdm")(annotations, py::arg("desc") = "Parsing annotations")) {
        const std::string where = "Annotation " + std::to_string(at++) + " of " + shown;
        index_annotation(s, annotation, where, class_index, storage, skipped);
    }
    if (skipped.run_length > 0)
        pykit::print("\t - [WARNING]: " + std::to_string(skipped.run_length) +
                     " annotations with a run-length ``segmentation`` were skipped (only polygons are read)");
    if (skipped.unknown_category > 0)
        pykit::print("\t - [WARNING]: " + std::to_string(skipped.unknown_category) +
                     " annotations of a category missing from ``categories`` were skipped");
}

// The constructor's work after the attributes are stored: reads and indexes the training file.
inline void index_coco_file(const State& s, const py::object& self, const py::object& tqdm) {
    py::object path = self.attr("train_ann_file");
    py::dict content = load_coco_file(s, path);
    const std::string shown = shown_path(path);

    py::object images = content.attr("get")("images", py::list());
    check_list(images, shown, "images");
    if (pykit::len(images) == 0) pykit::raise(PyExc_ValueError, "No training images were found in this dataset");
    py::list labels = self.attr("labels");
    self.attr("_class_index") = read_categories(content.attr("get")("categories", py::list()), shown, labels);
    py::list names = self.attr("train_storage_images"), ids = self.attr("train_images_id");
    self.attr("_image_index") = read_image_list(tqdm, images, shown, names, ids);

    py::object annotations = content.attr("get")("annotations", py::list());
    check_list(annotations, shown, "annotations");
    if (pykit::len(annotations) == 0)
        pykit::raise(PyExc_ValueError, "No training annotations were found in this dataset");
    py::dict storage = self.attr("train_storage_ann");
    index_annotations(s, tqdm, annotations, shown, self.attr("_class_index"), storage);
}

inline void construct_coco(const State& s, const py::object& self, const py::object& train_json_file,
                           const py::object& val_json_file, const py::object& train_images,
                           const py::object& val_images, const py::object& shape, const py::object& letter_box,
                           const py::object& num_points, const py::object& add_bkg_class, const py::object& tasks) {
    py::module_::import("json");  // the constructor's own imports (json is read through the state)
    py::object tqdm = py::module_::import("tqdm");
    self.attr("train_ann_file") = train_json_file;
    self.attr("val_ann_file") = val_json_file;
    self.attr("train_images") = train_images;
    self.attr("val_images") = val_images;
    self.attr("shape") = shape;
    self.attr("letterbox") = letter_box;
    self.attr("num_points") = num_points;
    self.attr("add_bkg_class") = add_bkg_class;
    self.attr("tasks") = tasks;
    self.attr("_augmentation_pipeline") = build_pipeline(s, self.attr("shape"), false);
    self.attr("train_storage_images") = py::list();
    self.attr("train_images_id") = py::list();
    self.attr("train_storage_ann") = py::dict();
    self.attr("labels") = py::list();
    self.attr("train_storage") = py::list();
    index_coco_file(s, self, tqdm);
}

inline py::object coco_num_train_samples(const py::object& self) {
    return py::int_(pykit::len(self.attr("train_images_id")));
}

// --- reading one sample ---------------------------------------------------------------------

// train_images_id.index(image_id), through the index built with it. String ids come back from
// tf.numpy_function as bytes.
inline py::object image_position(const State& s, const py::object& self, py::object& image_id) {
    // A zero-dimensional array stands for its one value.
    if (py::isinstance(image_id, s.np.attr("ndarray")) && pykit::equals(image_id.attr("ndim"), py::int_(0)))
        image_id = image_id[py::tuple()];
    if (PyBytes_Check(image_id.ptr()) || py::isinstance(image_id, s.np.attr("bytes_")))
        image_id = image_id.attr("decode")();
    py::object ids = self.attr("train_images_id");
    py::object index = py::getattr(self, "_image_index", py::none());
    if (PyDict_Check(index.ptr()) && PyObject_Hash(image_id.ptr()) != -1) {
        py::object position = pykit::dict_find(index, image_id);
        if (position && pykit::equals(ids[position], image_id)) return position;
    } else if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();  // unhashable: the list search gives Python's own error
    }
    return ids.attr("index")(image_id);
}

// One indexed record as an outline mapped into the fitted image.
inline Outline coco_outline(const State& s, const py::handle& record, const py::dict& class_index,
                            const py::object& divisor, const datasets::Fitted& fit, const std::string& where) {
    py::object category = record.attr("get")("class");
    py::object cls = pykit::dict_find(class_index, category);
    if (!cls)
        pykit::raise(PyExc_ValueError,
                     where + ": category " + py::repr(category).cast<std::string>() + " is not in ``categories``");
    py::object normalised = record.attr("get")("polygon") / divisor;  // pixels of the stored image -> 0..1
    py::object points = s.mask_padding(normalised, fit.w, fit.h, fit.padw, fit.padh);
    return Outline{outline_points(points, where), cls, where};
}

// _read_data of the COCO dataset: image id -> (image, outlines, classes).
inline py::object read_coco_sample(const State& s, const py::object& self, const py::object& requested_id) {
    py::object image_id = requested_id;
    py::object position = image_position(s, self, image_id);
    py::object image_path = s.join(self.attr("train_images"), self.attr("train_storage_images")[position]);
    py::object image = datasets::read_rgb(s, image_path);
    py::tuple size = image.attr("shape");
    py::object divisor = s.np.attr("array")(py::make_tuple(size[1], size[0]), py::arg("dtype") = s.np_float32);
    datasets::Fitted fit = datasets::fit_to_shape(s, image, self.attr("shape"), pykit::truthy(self.attr("letterbox")),
                                                 datasets::ChannelAxis::as_resized);

    py::object records = self.attr("train_storage_ann").attr("get")(image_id);
    py::dict class_index = self.attr("_class_index");
    std::vector<Outline> outlines;
    if (!records.is_none()) {
        size_t number = 0;
        for (py::handle record : records) {
            const std::string where = "COCO image " + pykit::as_str(image_id).cast<std::string>() + ", outline " +
                                      std::to_string(number++);
            outlines.push_back(coco_outline(s, record, class_index, divisor, fit, where));
        }
    }
    auto [masks, classes] = resample_all(s, outlines, self.attr("num_points"));
    return py::make_tuple(fit.image, masks, classes);
}

// read_data: tf.numpy_function(self._read_data, [image_id], Tout=[tf.uint8, tf.float32, tf.int32]).
inline py::object coco_graph_read(const State& s, const py::object& self, const py::object& image_id) {
    return s.tf.attr("numpy_function")(self.attr("_read_data"), pykit::list_of(image_id),
                                       py::arg("Tout") = pykit::list_of(s.tf_uint8, s.tf_float32, s.tf_int32));
}

}  // namespace seg
