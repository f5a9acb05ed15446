// SegmentationDatasetJsonCOCO: the training split of a COCO-style JSON file, indexed once.
#pragma once

#include <cstdint>
#include <limits>

#include "common.hpp"

namespace seg {

inline const char* const kCocoDoc =
    "Semantic-segmentation dataset whose training annotations lie in one COCO-style JSON file.\n"
    "\n"
    "Read keys: ``images`` (``file_name``, ``id``), ``categories`` (``id``, ``name``; id 0 is\n"
    "skipped) and ``annotations`` (``image_id``, ``category_id``, ``segmentation`` as a list of\n"
    "flat x1, y1, x2, y2, ... polygons in pixels). Run-length ``segmentation`` entries and\n"
    "annotations of a category not listed are skipped, with a printed count. A category is\n"
    "painted as its position in ``labels`` plus 1, so mask values stay below\n"
    "``get_num_segmentation_classes()``. Only the training split is served.\n"
    "\n"
    "Args:\n"
    "    train_json_file (str): COCO JSON file of the training split.\n"
    "    val_json_file (str): stored, not read.\n"
    "    train_images (str): folder of the training images.\n"
    "    val_images (str): stored, not read.\n"
    "    shape (list): height, width and channels of the network input.\n"
    "    letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.\n"
    "    num_points (int): number of points every outline is resampled to.\n"
    "    add_bkg_class (bool): stored.\n"
    "    tasks (list): stored.\n";

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
                PyErr_Clear();
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
            if (overflow || (data[i] == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return false;
            }
        }
        out = std::move(array);
    }
    return true;
}

// _read_data of the COCO dataset: image id -> (image, outlines, classes).
inline py::object read_coco_sample(const Imports& im, const py::object& self, py::object image_id) {
    if (PyBytes_Check(image_id.ptr())) image_id = image_id.attr("decode")();  // string ids come back as bytes
    else if (py::isinstance(image_id, im.np.attr("bytes_"))) image_id = image_id.attr("decode")();

    // train_images_id.index(image_id), through the index built with it.
    py::object ids = self.attr("train_images_id");
    py::object position;
    py::object index = py::getattr(self, "_image_index", py::none());
    if (PyDict_Check(index.ptr())) {
        PyObject* found = PyDict_GetItemWithError(index.ptr(), image_id.ptr());
        if (!found && PyErr_Occurred()) PyErr_Clear();  // unhashable: the list search below decides
        if (found) position = py::reinterpret_borrow<py::object>(found);
    }
    if (!position || !pykit::equals(ids[position], image_id)) position = ids.attr("index")(image_id);
    py::object name = self.attr("train_storage_images")[position];
    py::object image_path = im.join(self.attr("train_images"), name);
    py::object image = read_rgb(im, image_path);
    py::tuple size = image.attr("shape");
    py::object divisor = im.np.attr("array")(py::make_tuple(size[1], size[0]), py::arg("dtype") = im.np_float32);
    Fitted fit = fit_image(im, image, self.attr("shape"), pykit::truthy(self.attr("letterbox")));

    py::object records = self.attr("train_storage_ann").attr("get")(image_id);
    py::object class_index = self.attr("_class_index");
    std::vector<Outline> outlines;
    if (!records.is_none()) {
        size_t number = 0;
        for (py::handle record : records) {
            const std::string where = "COCO image " + py::str(image_id).cast<std::string>() + ", outline " +
                                      std::to_string(number++);
            py::object category = record.attr("get")("class");
            py::object polygon = record.attr("get")("polygon");
            PyObject* cls = PyDict_GetItemWithError(class_index.ptr(), category.ptr());
            if (!cls) {
                if (PyErr_Occurred()) throw py::error_already_set();
                pykit::raise(PyExc_ValueError,
                             where + ": category " + py::repr(category).cast<std::string>() + " is not in ``categories``");
            }
            py::object normalised = polygon / divisor;  // pixels of the stored image -> 0..1
            py::object points = im.mask_padding(normalised, fit.w, fit.h, fit.padw, fit.padh);
            outlines.push_back(Outline{outline_points(points, where), py::reinterpret_borrow<py::object>(cls), where});
        }
    }
    auto [masks, classes] = resample_all(im, outlines, self.attr("num_points"));
    return py::make_tuple(fit.image, masks, classes);
}

// The constructor's work after the attributes are stored: reads and indexes the training file.
inline void index_coco(const Imports& im, const py::object& self, const py::object& json, const py::object& tqdm) {
    py::object path = self.attr("train_ann_file");
    if (!pykit::truthy(path) || !pykit::truthy(im.exists(path)))
        pykit::raise(PyExc_FileNotFoundError,
                     pykit::format("Annotation file for training was not found in the given location: {}", path));
    const std::string shown = py::str(path);
    py::object content = pykit::closing(im.open(path), json.attr("load"));
    if (!PyDict_Check(content.ptr()))
        pykit::raise(PyExc_ValueError, "Annotation file " + shown + " does not hold a JSON object");

    py::object images = content.attr("get")("images", py::list());
    if (pykit::len(images) == 0) pykit::raise(PyExc_ValueError, "No training images were found in this dataset");

    // Category ids, in file order, become classes 0, 1, 2, ... (painted 1, 2, 3, ...).
    py::list labels = self.attr("labels");
    py::dict class_index;
    for (py::handle category : content.attr("get")("categories", py::list())) {
        py::object id = category.attr("get")("id", 0);
        if (pykit::equals(id, py::int_(0))) continue;
        if (!class_index.contains(id)) class_index[id] = py::int_(pykit::len(labels));
        labels.append(category.attr("get")("name", py::none()));
    }
    self.attr("_class_index") = class_index;

    py::list names = self.attr("train_storage_images");
    py::list ids = self.attr("train_images_id");
    py::dict image_index;
    for (py::handle image : tqdm.attr("tqdm")(images, py::arg("desc") = "Reading images")) {
        py::object id = image.attr("get")("id", py::none());
        names.append(image.attr("get")("file_name", py::none()));
        if (PyDict_SetDefault(image_index.ptr(), id.ptr(), py::int_(pykit::len(ids)).ptr()) == nullptr) PyErr_Clear();
        ids.append(id);
    }
    self.attr("_image_index") = image_index;

    py::object annotations = content.attr("get")("annotations", py::list());
    if (pykit::len(annotations) == 0)
        pykit::raise(PyExc_ValueError, "No training annotations were found in this dataset");

    py::dict storage = self.attr("train_storage_ann");
    py::str class_key("class"), polygon_key("polygon"), image_key("image_id"), category_key("category_id"),
        segmentation_key("segmentation");
    py::int_ zero(0);
    size_t run_length = 0, unknown = 0, number = 0;
    for (py::handle annotation : tqdm.attr("tqdm")(annotations, py::arg("desc") = "Parsing annotations")) {
        const size_t at = number++;
        if (!PyDict_Check(annotation.ptr()))
            pykit::raise(PyExc_TypeError, "Annotation " + std::to_string(at) + " of " + shown + " is not a JSON object");
        py::object img_id = annotation.attr("get")(image_key, zero);
        py::object polygons = annotation.attr("get")(segmentation_key);
        if (PyDict_Check(polygons.ptr())) {  // run-length form (crowd regions): not indexed
            ++run_length;
            continue;
        }
        if (polygons.is_none())
            pykit::raise(PyExc_TypeError,
                         "Annotation " + std::to_string(at) + " of " + shown + " has no ``segmentation`` list");
        py::object category = annotation.attr("get")(category_key, zero);
        if (!class_index.contains(category)) {
            ++unknown;
            continue;
        }
        for (py::handle polygon : polygons) {
            py::object array;
            if (!flat_to_array(polygon, array)) {
                try {
                    array = im.np.attr("array")(polygon).attr("reshape")(-1, 2);
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_ValueError)) throw;
                    pykit::raise(PyExc_ValueError, "Annotation " + std::to_string(at) + " of " + shown +
                                                       ": a polygon is not a flat list of x, y coordinates (" +
                                                       e.what() + ")");
                }
            }
            py::dict record;
            record[class_key] = category;
            record[polygon_key] = array;
            PyObject* list = PyDict_GetItemWithError(storage.ptr(), img_id.ptr());
            if (list) {
                if (PyList_Append(list, record.ptr()) < 0) throw py::error_already_set();
            } else {
                if (PyErr_Occurred()) throw py::error_already_set();
                storage[img_id] = list_of(record);
            }
        }
    }
    if (run_length > 0)
        pykit::print("\t - [WARNING]: " + std::to_string(run_length) +
                     " annotations with a run-length ``segmentation`` were skipped (only polygons are read)");
    if (unknown > 0)
        pykit::print("\t - [WARNING]: " + std::to_string(unknown) +
                     " annotations of a category missing from ``categories`` were skipped");
}

inline void add_dataset_coco(py::module_& m, const ImportsPtr& im) {
    using pykit::arg;
    py::object builtins = py::module_::import("builtins");
    py::object str_t = builtins.attr("str"), list_t = builtins.attr("list");
    py::object int_t = builtins.attr("int"), bool_t = builtins.attr("bool");
    py::object tf_function = im->tf.attr("function");
    py::object none = py::none();

    pykit::ClassBuilder(kModule, "SegmentationDatasetJsonCOCO")
        .doc(kCocoDoc)
        .def("__init__",
             {arg("self"), arg("train_json_file").ann(str_t).def(none), arg("val_json_file").ann(str_t).def(none),
              arg("train_images").ann(str_t).def(none), arg("val_images").ann(str_t).def(none),
              arg("shape").ann(list_t).def(none), arg("letter_box").ann(bool_t).def(py::bool_(true)),
              arg("num_points").ann(int_t).def(py::int_(300)), arg("add_bkg_class").ann(bool_t).def(py::bool_(true)),
              arg("tasks").ann(list_t).def(none)},
             [im](pykit::Args& a) {
                 py::object self = a[0];
                 py::object json = py::module_::import("json");
                 py::object tqdm = py::module_::import("tqdm");
                 self.attr("train_ann_file") = a[1];
                 self.attr("val_ann_file") = a[2];
                 self.attr("train_images") = a[3];
                 self.attr("val_images") = a[4];
                 self.attr("shape") = a[5];
                 self.attr("letterbox") = a[6];
                 self.attr("num_points") = a[7];
                 self.attr("add_bkg_class") = a[8];
                 self.attr("tasks") = a[9];
                 self.attr("_augmentation_pipeline") = build_pipeline(*im, self.attr("shape"), false);
                 self.attr("train_storage_images") = py::list();
                 self.attr("train_images_id") = py::list();
                 self.attr("train_storage_ann") = py::dict();
                 self.attr("labels") = py::list();
                 self.attr("train_storage") = py::list();
                 index_coco(*im, self, json, tqdm);
             })
        .def("get_num_train_samples", {arg("self")},
             [](py::object self) { return py::int_(pykit::len(self.attr("train_images_id"))); },
             "Number of listed training images, annotated or not.")
        .def("get_num_segmentation_classes", {arg("self")},
             [](py::object self) { return py::int_(pykit::len(self.attr("labels")) + 1); },
             "Number of mask classes: the categories plus the background.")
        .method(pykit::function("read_data", {arg("self"), arg("image_id").ann(im->tf.attr("Tensor"))},
                                [im](py::object self, py::object image_id) {
                                    return im->tf.attr("numpy_function")(
                                        self.attr("_read_data"), list_of(image_id),
                                        py::arg("Tout") = list_of(im->tf_uint8, im->tf_float32, im->tf_int32));
                                },
                                "Graph-side ``_read_data``."),
                tf_function)
        .def("_read_data", {arg("self"), arg("image_id")},
             [im](py::object self, py::object image_id) { return read_coco_sample(*im, self, image_id); },
             "Reads one training sample by image id: (image, outlines, classes).")
        .method(build_gt_mask_method(im), tf_function)
        .method(paint_mask_method(im))
        .method(apply_augmentation_method(im))
        .method(tf_apply_augmentation_method(im), tf_function)
        .def("build_train_iterator",
             {arg("self"), arg("batch_size").ann(int_t).def(py::int_(10)), arg("prefetch").ann(int_t).def(py::int_(10))},
             [im](py::object self, py::object batch_size, py::object prefetch) {
                 py::object autotune = im->tf.attr("data").attr("AUTOTUNE");
                 py::object mask = pykit::function("build_train_mask", {arg("x1"), arg("x2"), arg("x3")},
                                                   [self](py::object x1, py::object x2, py::object x3) -> py::object {
                                                       return self.attr("build_gt_mask")(list_of(x1, x2, x3));
                                                   });
                 py::object ids = self.attr("train_images_id");
                 py::object ds = im->tf.attr("data").attr("Dataset").attr("from_tensor_slices")(ids);
                 ds = ds.attr("shuffle")(py::arg("buffer_size") = py::int_(pykit::len(ids)),
                                         py::arg("reshuffle_each_iteration") = true);
                 ds = ds.attr("map")(self.attr("read_data"), py::arg("num_parallel_calls") = autotune);
                 ds = ds.attr("map")(mask, py::arg("num_parallel_calls") = autotune);
                 ds = ds.attr("map")(self.attr("tf_apply_augmentation"), py::arg("num_parallel_calls") = autotune);
                 py::object shape = self.attr("shape");
                 ds = ds.attr("padded_batch")(py::arg("batch_size") = batch_size, py::arg("drop_remainder") = true,
                                              py::arg("padded_shapes") = py::make_tuple(shape, shape[py::slice(0, 2, 1)]));
                 return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
             },
             "Shuffled, augmented batches (image uint8 [B, H, W, C], mask int32 [B, H, W]) of one epoch.")
        .def("build_val_iterator",
             {arg("self"), arg("batch_size").ann(int_t).def(py::int_(10)), arg("prefetch").ann(int_t).def(py::int_(10))},
             [](py::object, py::object, py::object) {}, "No validation split is served: returns None.")
        .build(m);
}

}  // namespace seg
