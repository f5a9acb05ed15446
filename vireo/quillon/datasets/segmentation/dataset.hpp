// SegmentationDataset: images in one folder, one JSON annotation file per image in another.
#pragma once

#include "common.hpp"

namespace seg {

inline const char* const kDatasetDoc =
    "Semantic-segmentation dataset of images with one JSON annotation file per image.\n"
    "\n"
    "Each annotation file names its image and lists the objects as outlines:\n"
    "\n"
    "    {\"image\": \"name.jpg\",\n"
    "     \"segment\": [[{\"polygon\": [[x, y], ...], \"class\": 0}, ...], ...]}\n"
    "\n"
    "``segment`` is a list of objects, each a list of parts; a part's ``polygon`` holds its\n"
    "outline as [x, y] points divided by the image width and height, and ``class`` the 0-based\n"
    "index into ``labels``. Masks hold 0 for the background and class + 1 inside outlines.\n"
    "\n"
    "Args:\n"
    "    shape (list): height, width and channels of the network input.\n"
    "    train_images (str): folder of the training images.\n"
    "    val_images (str): folder of the validation images.\n"
    "    train_annotations (str): folder of the training annotation files.\n"
    "    val_annotations (str): folder of the validation annotation files.\n"
    "    labels (list): class names, without a background entry.\n"
    "    tasks (list): tasks to serve, among \"segment\" and \"boxes\".\n"
    "    num_points (int): number of points every outline is resampled to.\n"
    "    letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.\n"
    "    add_bkg_class (bool): sets ``class_offset`` to 1 (stored for callers).\n";

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
                    PyErr_Clear();
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

// _read_data: annotation file -> (image, outlines, classes[, image path]).
inline py::object read_sample(const Imports& im, const py::object& self, const py::object& annotation_file,
                              const py::object& train) {
    py::object path = py::hasattr(annotation_file, "numpy") ? annotation_file.attr("numpy")() : annotation_file;
    const std::string shown = py::str(PyBytes_Check(path.ptr()) ? path.attr("decode")("utf-8", "replace") : path);
    py::object ann = pykit::closing(im.open(path), im.json.attr("load"));
    if (!PyDict_Check(ann.ptr()))
        pykit::raise(PyExc_ValueError, "Annotation file " + shown + " does not hold a JSON object");
    const bool training = pykit::truthy(train);

    py::dict content = ann;
    py::object name = content.attr("get")("image");
    if (name.is_none()) pykit::raise(PyExc_ValueError, "Annotation file " + shown + " has no ``image`` entry");
    py::object image_path = im.join(self.attr(training ? "train_images" : "val_images"), im.basename(name));
    py::object image = read_rgb(im, image_path);
    Fitted fit = fit_image(im, image, self.attr("shape"), pykit::truthy(self.attr("letter_box")));

    py::object segment = content.attr("get")("segment", py::list());
    py::object masks, classes;
    py::object tasks = self.attr("tasks");
    if (pykit::len(segment) > 0 && PySequence_Contains(tasks.ptr(), py::str("segment").ptr()) == 1) {
        if (!PyList_Check(segment.ptr()))
            pykit::raise(PyExc_ValueError, "Annotation file " + shown + ": ``segment`` is not a list of objects");
        std::vector<Outline> outlines;
        size_t object_index = 0;
        for (py::handle object : segment) {
            if (!PyList_Check(object.ptr()))
                pykit::raise(PyExc_ValueError, "Annotation file " + shown + ", segment[" +
                                                   std::to_string(object_index) + "]: the object is not a list of parts");
            size_t part_index = 0;
            for (py::handle part : object) {
                // The part's place as a JSON path: segment[object][part].
                const std::string where = "Annotation file " + shown + ", segment[" + std::to_string(object_index) +
                                          "][" + std::to_string(part_index++) + "]";
                if (!PyDict_Check(part.ptr())) pykit::raise(PyExc_ValueError, where + ": the part is not a JSON object");
                py::object raw = part.attr("get")("polygon");
                py::object cls = part.attr("get")("class");
                if (raw.is_none()) pykit::raise(PyExc_ValueError, where + ": the part has no ``polygon``");
                if (cls.is_none()) pykit::raise(PyExc_ValueError, where + ": the part has no ``class``");
                py::object polygon;
                if (!pairs_to_array(raw, polygon)) polygon = im.np.attr("array")(raw);
                if (pykit::len(polygon) < 3) continue;  // too few points to enclose anything
                py::tuple dims = polygon.attr("shape");
                if (py::len(dims) != 2 || py::int_(dims[1]).cast<long long>() != 2)
                    pykit::raise(PyExc_ValueError, where + ": the outline is not a list of [x, y] points");
                py::object points = im.mask_padding(polygon, fit.w, fit.h, fit.padw, fit.padh);
                outlines.push_back(Outline{outline_points(points, where), cls, where});
            }
            ++object_index;
        }
        std::tie(masks, classes) = resample_all(im, outlines, self.attr("num_points"));

        // Every painted value must stay below the class count.
        py::object labels = self.attr("labels");
        if (PyList_Check(labels.ptr()) && pykit::len(classes) > 0) {
            const long long count = static_cast<long long>(pykit::len(labels));
            py::array_t<int> values = classes;
            for (py::ssize_t i = 0; i < values.size(); ++i) {
                const long long c = values.data()[i];
                if (c < 0 || c >= count)
                    pykit::raise(PyExc_ValueError, "Annotation file " + shown + ": class " + std::to_string(c) +
                                                       " is not an index of the " + std::to_string(count) +
                                                       " labels (0 to " + std::to_string(count - 1) + ")");
            }
        }
    } else {
        masks = im.np.attr("array")(py::list(), py::arg("dtype") = im.np_float32);
        classes = im.np.attr("array")(py::list(), py::arg("dtype") = im.np_int32);
    }
    if (training) return py::make_tuple(fit.image, masks, classes);
    return py::make_tuple(fit.image, masks, classes, image_path);
}

inline void add_dataset(py::module_& m, const ImportsPtr& im) {
    using pykit::arg;
    py::object builtins = py::module_::import("builtins");
    py::object str_t = builtins.attr("str"), list_t = builtins.attr("list");
    py::object int_t = builtins.attr("int"), bool_t = builtins.attr("bool");
    py::object tf_function = im->tf.attr("function");
    py::object none = py::none();

    pykit::ClassBuilder(kModule, "SegmentationDataset")
        .doc(kDatasetDoc)
        .def("__init__",
             {arg("self"), arg("shape").ann(list_t).def(none), arg("train_images").ann(str_t).def(none),
              arg("val_images").ann(str_t).def(none), arg("train_annotations").ann(str_t).def(none),
              arg("val_annotations").ann(str_t).def(none), arg("labels").ann(list_t).def(none),
              arg("tasks").ann(list_t).def(none), arg("num_points").ann(int_t).def(py::int_(300)),
              arg("letter_box").ann(bool_t).def(py::bool_(true)), arg("add_bkg_class").ann(bool_t).def(py::bool_(true))},
             [im](pykit::Args& a) {
                 py::object self = a[0];
                 self.attr("tasks") = list_of(py::str("segment"), py::str("boxes"));
                 self.attr("shape") = a[1];
                 self.attr("train_images") = self.attr("validate_path")(a[2]);
                 self.attr("val_images") = self.attr("validate_path")(a[3]);
                 self.attr("train_annotations") = self.attr("validate_path")(a[4]);
                 self.attr("val_annotations") = self.attr("validate_path")(a[5]);
                 self.attr("tasks") = self.attr("validate_tasks")(a[7]);
                 self.attr("labels") = a[6];
                 self.attr("num_points") = a[8];
                 self.attr("letter_box") = a[9];
                 self.attr("class_offset") = py::int_(pykit::truthy(a[10]) ? 1 : 0);
                 self.attr("_augmentation_pipeline") = build_pipeline(*im, self.attr("shape"), true);
                 // The folder names are escaped so that brackets in them are not read as patterns.
                 py::str pattern("*.[jJ][sS][oO][nN]");
                 py::object train_storage = im->glob(im->join(im->glob_escape(self.attr("train_annotations")), pattern));
                 self.attr("train_storage") = train_storage;
                 self.attr("val_storage") = im->glob(im->join(im->glob_escape(self.attr("val_annotations")), pattern));
                 if (pykit::len(train_storage) == 0)
                     pykit::raise(PyExc_ValueError,
                                  pykit::format("Current dataset has 0 annotation files in the provided folder: {}",
                                                self.attr("train_annotations")));
                 self.attr("num_training_samples") = py::int_(pykit::len(train_storage));
                 self.attr("num_validation_samples") = py::int_(pykit::len(self.attr("val_storage")));
             })
        .def("get_num_segmentation_classes", {arg("self")},
             [](py::object self) { return py::int_(pykit::len(self.attr("labels")) + 1); },
             "Number of mask classes: the labels plus the background.")
        .def("get_num_train_samples", {arg("self")},
             [](py::object self) -> py::object { return self.attr("num_training_samples"); },
             "Number of training annotation files.")
        .def("validate_tasks", {arg("self"), arg("tasks").ann(list_t).def(none)},
             [](py::object self, py::object tasks) {
                 if (tasks.is_none())
                     pykit::raise(PyExc_ValueError, "tasks should be a list of strings: None is not allowed");
                 py::object supported = self.attr("tasks");
                 for (py::handle task : tasks) {
                     const int found = PySequence_Contains(supported.ptr(), task.ptr());
                     if (found < 0) throw py::error_already_set();
                     if (!found) pykit::raise(PyExc_ValueError, pykit::format("``{}`` is not a valid task", task));
                 }
                 return tasks;
             },
             "Returns ``tasks`` when every entry is a supported task.")
        .def("validate_path", {arg("self"), arg("path").ann(str_t).def(none)},
             [im](py::object, py::object path) {
                 if (path.is_none() || !pykit::truthy(im->exists(path)))
                     pykit::raise(PyExc_FileNotFoundError, pykit::format("Provided path does not exist at: {}", path));
                 return path;
             },
             "Returns ``path`` when it exists.")
        .method(apply_augmentation_method(im))
        .method(tf_apply_augmentation_method(im), tf_function)
        .def("build_train_iterator",
             {arg("self"), arg("batch_size").ann(int_t).def(py::int_(10)), arg("prefetch").ann(int_t).def(py::int_(10))},
             [im](py::object self, py::object batch_size, py::object prefetch) {
                 py::object autotune = im->tf.attr("data").attr("AUTOTUNE");
                 py::object read = pykit::function("read_train_sample", {arg("x")}, [self](py::object x) -> py::object {
                     return self.attr("read_data")(x, true);
                 });
                 py::object mask = pykit::function("build_train_mask", {arg("x1"), arg("x2"), arg("x3")},
                                                   [self](py::object x1, py::object x2, py::object x3) -> py::object {
                                                       return self.attr("build_gt_mask")(list_of(x1, x2, x3));
                                                   });
                 py::object ds = im->tf.attr("data").attr("Dataset").attr("from_tensor_slices")(self.attr("train_storage"));
                 ds = ds.attr("shuffle")(py::arg("buffer_size") = ds.attr("cardinality")(),
                                         py::arg("reshuffle_each_iteration") = true);
                 ds = ds.attr("map")(read, py::arg("num_parallel_calls") = autotune);
                 ds = ds.attr("map")(mask, py::arg("num_parallel_calls") = autotune);
                 ds = ds.attr("map")(self.attr("tf_apply_augmentation"), py::arg("num_parallel_calls") = autotune);
                 py::object shape = self.attr("shape");
                 ds = ds.attr("padded_batch")(py::arg("batch_size") = batch_size, py::arg("drop_remainder") = true,
                                              py::arg("padded_shapes") = py::make_tuple(shape, shape[py::slice(0, 2, 1)]));
                 return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
             },
             "Shuffled, augmented batches (image uint8 [B, H, W, C], mask int32 [B, H, W]) of one epoch.")
        .method(build_gt_mask_method(im), tf_function)
        .method(paint_mask_method(im))
        .method(pykit::function("read_data", {arg("self"), arg("annotation_file"), arg("train").ann(bool_t).def(py::bool_(true))},
                                [im](py::object self, py::object annotation_file, py::object train) {
                                    py::list types = list_of(im->tf_uint8, im->tf_float32, im->tf_int32);
                                    if (!pykit::truthy(train)) types.append(im->tf_string);
                                    return im->tf.attr("py_function")(self.attr("_read_data"), list_of(annotation_file, train),
                                                                      py::arg("Tout") = types);
                                },
                                "Graph-side ``_read_data``."),
                tf_function)
        .def("_read_data", {arg("self"), arg("annotation_file"), arg("train").ann(bool_t).def(py::bool_(true))},
             [im](py::object self, py::object annotation_file, py::object train) {
                 return read_sample(*im, self, annotation_file, train);
             },
             "Reads one sample: (image, outlines, classes), and the image path when not training.")
        .def("build_val_iterator", {arg("self"), arg("prefetch").ann(int_t).def(py::int_(10))},
             [im](py::object self, py::object prefetch) {
                 py::object autotune = im->tf.attr("data").attr("AUTOTUNE");
                 py::object read = pykit::function("read_val_sample", {arg("x")}, [self](py::object x) -> py::object {
                     return self.attr("read_data")(x, false);
                 });
                 py::object mask = pykit::function(
                     "build_val_mask", {arg("image"), arg("polygons"), arg("classes"), arg("path")},
                     [self](py::object image, py::object polygons, py::object classes, py::object path) -> py::object {
                         py::object pair = self.attr("build_gt_mask")(list_of(image, polygons, classes));
                         return pair + py::make_tuple(path);
                     });
                 py::object ds = im->tf.attr("data").attr("Dataset").attr("from_tensor_slices")(self.attr("val_storage"));
                 ds = ds.attr("map")(read, py::arg("num_parallel_calls") = autotune);
                 ds = ds.attr("map")(mask);
                 return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
             },
             "Validation samples (image, mask, image path) in file order, one at a time.")
        .build(m);
}

}  // namespace seg
