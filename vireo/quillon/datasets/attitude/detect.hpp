// AttitudeAndDetectDataset: every face of an image with its box and its three angles,
// served in padded batches.
#pragma once

#include "common.hpp"

namespace attitude {

inline const char* const kDetectDoc =
    "Extends the attitude dataset to detection plus attitude. "
    "Each angle entry comes with the box that encloses the same face.";

inline void build_detect_dataset(py::module_& m, const std::string& module, const ImportsPtr& im,
                                 const std::shared_ptr<Classes>& cls) {
    py::object tensor = im->tensor_t;
    auto tout = [im] {
        return list_of(tf_dtype(*im, "uint8"), tf_dtype(*im, "float32"), tf_dtype(*im, "float32"));
    };
    pykit::ClassBuilder(module, "AttitudeAndDetectDataset", py::make_tuple(*cls->base))
        .doc(kDetectDoc)
        .def("__init__",
             {arg("self"), arg("shape").ann(im->list_t).def(py::none()),
              arg("train_images").ann(im->str_t).def(py::none()),
              arg("train_annotations").ann(im->str_t).def(py::none()),
              arg("val_images").ann(im->str_t).def(py::none()),
              arg("val_annotations").ann(im->str_t).def(py::none()), arg("classes").ann(im->list_t).def(py::none()),
              arg("add_bkg_class").ann(im->bool_t).def(py::bool_(true))},
             [cls](pykit::Args& a) {
                 py::object self = a[0], classes = a[6], add_bkg_class = a[7];
                 pykit::super(*cls->detect, self)
                     .attr("__init__")(a[1], a[2], a[3], a[4], a[5], py::arg("num_bins") = 66,
                                       py::arg("file_extension") = "json");
                 self.attr("add_bkg_class") = add_bkg_class;
                 const bool background = pykit::truthy(add_bkg_class);
                 if (background) classes = list_of(py::str("background")) + classes;
                 self.attr("classes") = classes;
                 self.attr("label_offset") = py::int_(background ? 1 : 0);
             })
        .def("get_num_train_samples", {arg("self")},
             [](py::object self) { return py::int_(pykit::len(self.attr("train_storage"))); })
        .def("get_classes", {arg("self")}, [](py::object self) -> py::object { return self.attr("classes"); })
        .method(pykit::function("tf_load_instance", {arg("self"), arg("data")},
                                [im, tout](py::object self, py::object data) {
                                    return im->tf.attr("numpy_function")(self.attr("_load_instance"), list_of(data),
                                                                         py::arg("Tout") = tout());
                                }),
                im->tf.attr("function"))
        .def("_load_instance", {arg("self"), arg("data")},
             [im](py::object self, py::object data) {
                 const py::object np = im->np, float32 = np.attr("float32");
                 py::object shape = self.attr("shape");
                 py::object img = im->Image.attr("open")(path_text(data[py::int_(0)])).attr("convert")("RGB");
                 img = resize_to_shape(*im, np.attr("asarray")(img, py::arg("dtype") = np.attr("uint8")), shape)
                           .attr("astype")(np.attr("uint8"));
                 py::object w = shape[py::int_(1)], h = shape[py::int_(0)];
                 py::object annotations = pykit::closing(im->open(path_text(data[py::int_(1)])), im->json.attr("load"));

                 py::object no_box = np.attr("array")(list_of(list_of(0, 0, 0, 0, 0)), py::arg("dtype") = float32);
                 py::object bboxes = annotations.attr("get")("boxes", no_box);
                 bboxes = np.attr("reshape")(bboxes, py::make_tuple(-1, 5));
                 bboxes = im->xywhn2xyxy(bboxes, w, h, 0, 0);
                 bboxes[pykit::compare(bboxes, py::int_(0), Py_LT)] = py::int_(0);
                 py::object labels = py::make_tuple(py::slice(), py::int_(4));
                 py::object label_offset = self.attr("label_offset");
                 py::object labels_now = bboxes[labels];
                 py::object shifted = labels_now + label_offset;
                 bboxes[labels] = shifted;

                 py::object bangles = py::list();
                 for (py::handle angle : annotations.attr("get")("angles", py::list())) {
                     py::object get = angle.attr("get");
                     bangles.attr("append")(list_of(get("pitch"), get("yaw"), get("roll")));
                 }
                 if (pykit::len(bangles) == 0)
                     bangles = np.attr("array")(list_of(list_of(0, 0, 0)), py::arg("dtype") = float32);
                 bangles = np.attr("asarray")(bangles, py::arg("dtype") = float32);
                 return py::make_tuple(img, bboxes.attr("astype")(float32), bangles);
             })
        .def("tf_augment",
             {arg("self"), arg("image").ann(tensor), arg("bboxes").ann(tensor).def(py::none()),
              arg("angles").ann(tensor).def(py::none())},
             [im, tout](py::object self, py::object image, py::object bboxes, py::object angles) {
                 return im->tf.attr("numpy_function")(self.attr("_augment"), list_of(image, bboxes, angles),
                                                      py::arg("Tout") = tout());
             })
        .def("_augment",
             {arg("self"), arg("image").ann(tensor), arg("bboxes").ann(tensor).def(py::none()),
              arg("angles").ann(tensor).def(py::none())},
             [](py::object, py::object image, py::object bboxes, py::object angles) {
                 return py::make_tuple(image, bboxes, angles);
             })
        .def("build_train_iterator",
             {arg("self"), arg("batch_size").ann(im->int_t), arg("prefetch").ann(im->int_t).def(py::int_(10))},
             [im](py::object self, py::object batch_size, py::object prefetch) {
                 const py::object autotune = im->tf.attr("data").attr("AUTOTUNE");
                 py::object storage = self.attr("train_storage");
                 py::object ds = im->tf.attr("data").attr("Dataset").attr("from_tensor_slices")(storage);
                 ds = ds.attr("shuffle")(py::arg("buffer_size") = py::int_(pykit::len(storage)),
                                         py::arg("reshuffle_each_iteration") = true);
                 ds = ds.attr("map")(self.attr("tf_load_instance"), py::arg("num_parallel_calls") = autotune);
                 ds = ds.attr("map")(self.attr("tf_augment"), py::arg("num_parallel_calls") = autotune);
                 py::object padded_shapes = py::make_tuple(self.attr("shape"), py::make_tuple(py::none(), 5),
                                                           py::make_tuple(py::none(), 3));
                 ds = ds.attr("padded_batch")(py::arg("batch_size") = batch_size,
                                              py::arg("padded_shapes") = padded_shapes);
                 return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
             })
        .build(m, cls->detect);
}

}  // namespace attitude
