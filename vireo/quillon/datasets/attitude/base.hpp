// AttitudeDataset: image and annotation folders paired by base name, MATLAB head-pose
// annotations, samples of (image, pitch-yaw-roll) and the two iterators.
#pragma once

#include "common.hpp"

namespace attitude {

inline const char* const kAttitudeDoc =
    "Head-attitude dataset: face images labelled with pitch, yaw and roll.\n"
    "\n"
    "Images lie in one folder and their annotations in another, one annotation file per image\n"
    "with the image's base name; one such pair of folders for training and one for validation.\n"
    "\n"
    "Args:\n"
    "    shape (list): height, width and channel count of the network input.\n"
    "    train_images (str): folder of the training images (PNG or JPEG).\n"
    "    train_annotations (str): folder of the training annotation files.\n"
    "    val_images (str): folder of the validation images (PNG or JPEG).\n"
    "    val_annotations (str): folder of the validation annotation files.\n"
    "    file_extension (str): extension of the annotation files, \"mat\" by default.\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: a training folder does not exist.\n"
    "    ValueError: the training or the validation split has no image with an annotation file.\n";

// Hands the message to the outside reporting function when `path` does not exist.
inline void report_if_missing(const Imports& im, const py::object& path, const char* message) {
    if (pykit::truthy(im.exists(path))) return;
    py::object flow_inspection = pykit::import_from("vireo.quillon.reporting", "flow_inspection");
    flow_inspection(pykit::format(message, path));
}

// Every PNG, then JPG, then JPEG of `images` (any letter case) that has an annotation file of
// the same base name in `annotations`, appended to `storage` as [image, annotation].
inline void pair_split(const Imports& im, const py::object& glob, const py::object& images,
                       const py::object& annotations, const py::object& extension, py::list storage) {
    py::object found = py::list();
    for (const char* pattern : {"*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]"})
        found = found + glob.attr("glob")(im.join(images, pattern));
    py::str suffix = pykit::format(".{}", extension);
    for (py::handle image : found) {
        py::object ann_name = im.splitext(im.basename(image))[py::int_(0)];
        py::object ann_path = im.join(annotations, ann_name + suffix);
        if (pykit::truthy(im.exists(ann_path)))
            storage.append(list_of(image, ann_path));
        else
            pykit::print(pykit::format("Missing annotation file: {}", ann_name));
    }
}

// Row 0 of Pose_Para holds pitch, yaw, roll. A single column (a vector saved with
// oned_as="column") is read down the column. Fewer than three numbers is an error.
inline py::object pose_row(const py::object& pose_para, const py::object& path) {
    py::object pre = pose_para[py::int_(0)];
    py::tuple shape = pose_para.attr("shape");
    if (shape.size() == 2 && shape[1].cast<long>() == 1 && shape[0].cast<long>() >= 3) pre = column(pose_para, 0);
    if (PyObject_Length(pre.ptr()) < 3) {
        PyErr_Clear();
        pykit::raise(PyExc_ValueError,
                     pykit::format("Pose_Para in {} must hold pitch, yaw and roll in its first row; its shape is {}",
                                   path, shape));
    }
    return pre;
}

inline void build_attitude_dataset(py::module_& m, const std::string& module, const ImportsPtr& im,
                                   const std::shared_ptr<Classes>& cls) {
    py::object tensor = im->tensor_t;
    pykit::ClassBuilder(module, "AttitudeDataset", py::make_tuple(py::module_::import("builtins").attr("object")))
        .doc(kAttitudeDoc)
        .def("__init__",
             {arg("self"), arg("shape").ann(im->list_t).def(py::none()),
              arg("train_images").ann(im->str_t).def(py::none()),
              arg("train_annotations").ann(im->str_t).def(py::none()),
              arg("val_images").ann(im->str_t).def(py::none()),
              arg("val_annotations").ann(im->str_t).def(py::none()),
              arg("num_bins").ann(im->int_t).def(py::int_(66)),
              arg("file_extension").ann(im->str_t).def(py::str("mat"))},
             [im](pykit::Args& a) {
                 py::object self = a[0];
                 report_if_missing(*im, a[2], "Path to the training images does not exist in this system: {}");
                 report_if_missing(*im, a[3], "Path to the training annotations does not exist in this system: {}");
                 self.attr("train_images") = a[2];
                 self.attr("train_annotations") = a[3];
                 self.attr("val_images") = a[4];
                 self.attr("val_annotations") = a[5];
                 self.attr("num_bins") = a[6];
                 self.attr("shape") = a[1];
                 py::object glob = py::module_::import("glob");

                 py::list train;
                 self.attr("train_storage") = train;
                 pair_split(*im, glob, self.attr("train_images"), self.attr("train_annotations"), a[7], train);
                 if (pykit::len(train) == 0)
                     pykit::raise(PyExc_ValueError, "Training dataset must have at least 1 element");

                 py::list val;
                 self.attr("val_storage") = val;
                 pair_split(*im, glob, self.attr("val_images"), self.attr("val_annotations"), a[7], val);
                 if (pykit::len(val) == 0)
                     pykit::raise(PyExc_ValueError, "Training dataset must have at least 1 element");
             })
        .def("read_annotations", {arg("self"), arg("annotations_path").ann(im->str_t).def(py::none())},
             [im](py::object, py::object path) {
                 py::object mat = im->sio.attr("loadmat")(path);
                 py::object pre_pose_params = pose_row(mat[py::str("Pose_Para")], path);
                 py::object pose_params = im->np.attr("asarray")(pre_pose_params[py::slice(py::none(), py::int_(3), py::none())],
                                                                 py::arg("dtype") = im->np.attr("float32"));
                 py::object pt2d = im->np.attr("asarray")(mat[py::str("pt2d")], im->np.attr("float32"));
                 return py::make_tuple(pose_params, pt2d);
             })
        .method(pykit::function("tf_load_instance", {arg("self"), arg("data")},
                                [im](py::object self, py::object data) {
                                    return im->tf.attr("numpy_function")(
                                        self.attr("_load_instance"), list_of(data),
                                        py::arg("Tout") = list_of(tf_dtype(*im, "uint8"), tf_dtype(*im, "float32")));
                                }),
                im->tf.attr("function"))
        .def("_load_instance", {arg("self"), arg("data")},
             [im](py::object self, py::object data) {
                 py::object img = im->Image.attr("open")(path_text(data[py::int_(0)])).attr("convert")("RGB");
                 // The annotation path is decoded: `annotations_path` takes text only.
                 py::object pose = unpack(self.attr("read_annotations")(path_text(data[py::int_(1)])), 2)[0];
                 py::object pitch = pose[py::int_(0)], yaw = pose[py::int_(1)], roll = pose[py::int_(2)];
                 if (draw(*im, "random_sample") < 0.05) img = img.attr("filter")(im->ImageFilter.attr("BLUR"));
                 img = im->np.attr("asarray")(img);
                 img = resize_to_shape(*im, img, self.attr("shape"));
                 return py::make_tuple(img, im->np.attr("array")(list_of(pitch, yaw, roll),
                                                                 py::arg("dtype") = im->np.attr("float32")));
             })
        .def("tf_augment", {arg("self"), arg("image").ann(tensor), arg("angles").ann(tensor)},
             [im](py::object self, py::object image, py::object angles) {
                 return im->tf.attr("numpy_function")(
                     self.attr("_augment"), list_of(image, angles),
                     py::arg("Tout") = list_of(tf_dtype(*im, "uint8"), tf_dtype(*im, "float32")));
             })
        .def("_augment", {arg("self"), arg("image").ann(tensor), arg("angles").ann(tensor)},
             [](py::object, py::object image, py::object angles) { return py::make_tuple(image, angles); })
        .def("build_train_iterator",
             {arg("self"), arg("batch_size").ann(im->int_t), arg("prefetch").ann(im->int_t).def(py::int_(10))},
             [im](py::object self, py::object batch_size, py::object prefetch) {
                 const py::object autotune = im->tf.attr("data").attr("AUTOTUNE");
                 py::object ds_iter = im->tf.attr("data").attr("Dataset").attr("from_tensor_slices")(self.attr("train_storage"));
                 ds_iter = ds_iter.attr("shuffle")(py::arg("buffer_size") = ds_iter.attr("cardinality")(),
                                                   py::arg("reshuffle_each_iteration") = true);
                 ds_iter = ds_iter.attr("map")(self.attr("tf_load_instance"), py::arg("num_parallel_calls") = autotune);
                 ds_iter = ds_iter.attr("map")(self.attr("tf_augment"), py::arg("num_parallel_calls") = autotune);
                 ds_iter = ds_iter.attr("batch")(py::arg("batch_size") = batch_size);
                 return ds_iter.attr("prefetch")(py::arg("buffer_size") = prefetch);
             })
        .def("build_val_iterator",
             {arg("self"), arg("batch_size").ann(im->int_t).def(py::int_(1)),
              arg("prefetch").ann(im->int_t).def(py::int_(10))},
             [im](py::object self, py::object, py::object) {
                 py::object images = self.attr("val_images"), annotations = self.attr("val_annotations");
                 if (!pykit::truthy(im->exists(images)))
                     pykit::raise(PyExc_FileNotFoundError,
                                  pykit::format("Path to the validation images does not exist in this system: {}", images));
                 if (!pykit::truthy(im->exists(annotations)))
                     pykit::raise(PyExc_FileNotFoundError,
                                  pykit::format("Path to the validation annotations does not exist in this system: {}",
                                                annotations));
                 return im->tf.attr("data").attr("Dataset").attr("from_tensor_slices")(self.attr("val_storage"));
             })
        .def("get_num_train_samples", {arg("self")},
             [](py::object self) { return py::int_(pykit::len(self.attr("train_storage"))); })
        .build(m, cls->base);
}

}  // namespace attitude
