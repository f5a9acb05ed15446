// vireo.quillon.datasets.tfrecord: detection datasets stored as TFRecord files of
// tf.train.Example records (image, image_name, width, height, objects, bboxes).
#include <pykit.hpp>

#include "example_parser.hpp"

#include <memory>
#include <string>

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kYamlDoc =
    "Detection dataset read from TFRecord files, configured by a YAML description file.\n"
    "\n"
    "The description::\n"
    "\n"
    "    type: tfrecord\n"
    "    classes: ['class 1', 'class 2', ..., 'class n']\n"
    "    train:\n"
    "        path: /absolute/path/to/train/records     # folder of *.tfrecord files\n"
    "        samples: 1200                             # optional\n"
    "    validation:\n"
    "        path: /absolute/path/to/validation/records\n"
    "        samples: 300\n"
    "\n"
    "Without ``type`` the older layout is accepted: the folders are given under ``images``.\n"
    "Each record is a ``tf.train.Example`` with the features ``image`` (JPEG bytes),\n"
    "``image_name`` (bytes), ``width`` and ``height`` (int64), ``objects`` (int64, one class\n"
    "index per object) and ``bboxes`` (float, x-centre, y-centre, width, height per object,\n"
    "divided by the image size).\n"
    "\n"
    "Args:\n"
    "    info_file (str): path of the description file.\n"
    "    shape (list): height, width, channels of the training samples.\n"
    "    letter_box (bool): letterbox (keep aspect) rather than plain resizing for training.\n"
    "    add_bkg_class (bool): reserve label 0 for a background class.\n"
    "    aug_cfg (dict): augmentation configuration, kept for the base class.\n";

const char* const kDictDoc =
    "Detection dataset read from TFRecord files, configured by a description dictionary.\n"
    "\n"
    "Takes the same description as ``TFRecordDatasetYaml`` already loaded; the dictionary\n"
    "gains the key ``type`` with the value ``tfrecord``.\n"
    "\n"
    "Args:\n"
    "    info_dataset (dict): the dataset description.\n"
    "    shape (list): height, width, channels of the training samples.\n"
    "    letter_box (bool): letterbox (keep aspect) rather than plain resizing for training.\n"
    "    add_bkg_class (bool): reserve label 0 for a background class.\n"
    "    aug_cfg (dict): augmentation configuration, kept for the base class.\n";

struct Imports {
    py::object letterbox, xywhn2xyxy, base;
    py::object tf, join, exists, np, glob, cv2;
    py::object builtins;
};

py::object none() { return py::none(); }

// section.get(key), with a clear error when the section is missing or not a mapping.
py::object section_get(const py::object& section, const char* name, const char* key) {
    if (!py::hasattr(section, "get"))
        pykit::raise(PyExc_AttributeError,
                     std::string(pykit::format("[ERROR]: Dataset format is inconsistent. The ``{}`` section is "
                                               "missing or is not a mapping (got {})",
                                               name, py::type::of(section).attr("__name__"))));
    return section.attr("get")(key);
}

// `value in [a, b]`, as Python tests membership (identity, then ==).
bool among(const py::handle& value, const py::handle& a, const py::handle& b) {
    return a.is(value) || b.is(value) || pykit::equals(a, value) || pykit::equals(b, value);
}

// The eight attributes shared with the Darknet dataset; nothing here reads them.
void reset_paths(const py::object& self) {
    for (const char* name : {"path_train_images", "path_train_annotations", "path_val_images", "path_val_annotations",
                             "train_images", "val_images", "train_annotations"})
        self.attr(name) = py::none();
    self.attr("val_annotations") = py::list();
}

// The six features of one record, as load_instance uses them.
struct Features {
    py::object image;      // encoded image: bytes or a scalar string tensor
    py::object name;       // scalar string tensor
    py::object objects;    // int64 array
    py::object bboxes;     // flat float32 array
    std::string name_text;  // for error messages
};

// The record read by TensorFlow, with a feature description built afresh.
Features parse_with_tensorflow(const Imports& im, const py::object& data) {
    py::object tf = im.tf;
    py::object io = tf.attr("io");
    py::object fixed = io.attr("FixedLenFeature"), var = io.attr("VarLenFeature");
    py::dict description;
    description["image"] = fixed(py::list(), tf.attr("string"));
    description["image_name"] = fixed(py::list(), tf.attr("string"));
    description["width"] = fixed(py::list(), tf.attr("int64"));
    description["height"] = fixed(py::list(), tf.attr("int64"));
    description["objects"] = var(tf.attr("int64"));
    description["bboxes"] = var(tf.attr("float32"));
    py::object sample = io.attr("parse_single_example")(data, description);

    py::object to_dense = tf.attr("sparse").attr("to_dense");
    Features f;
    f.image = sample["image"];
    f.name = sample.attr("get")("image_name");
    f.objects = to_dense(sample["objects"]).attr("numpy")();
    f.bboxes = to_dense(sample["bboxes"]).attr("numpy")();
    py::object raw = f.name.attr("numpy")();
    f.name_text = py::str(raw.attr("decode")("utf-8", "replace"));
    return f;
}

template <class T>
py::object array_of(const Imports& im, const std::vector<T>& values, const char* dtype) {
    py::bytes raw(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    return im.np.attr("frombuffer")(raw, py::arg("dtype") = im.np.attr(dtype));
}

// Serialized records (bytes) of the usual layout are read natively without the GIL, with
// the same values TensorFlow's parser gives; anything else goes through TensorFlow.
Features parse_record(const Imports& im, const py::object& data) {
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(data.ptr()) || PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) < 0)
        return parse_with_tensorflow(im, data);
    tfrecord_example::Record rec;
    bool parsed;
    {
        py::gil_scoped_release release;
        parsed = tfrecord_example::parse(std::string_view(buffer, size_t(size)), rec);
    }
    if (!parsed) return parse_with_tensorflow(im, data);
    Features f;
    f.image = py::bytes(rec.image.data(), rec.image.size());
    f.name = im.tf.attr("constant")(py::bytes(rec.image_name.data(), rec.image_name.size()));
    f.objects = array_of(im, rec.objects, "int64");
    f.bboxes = array_of(im, rec.bboxes, "float32");
    f.name_text = py::str(py::bytes(rec.image_name.data(), rec.image_name.size()).attr("decode")("utf-8", "replace"));
    return f;
}

py::object load_instance(const Imports& im, const py::object& self, const py::object& data, bool training) {
    py::object tf = im.tf, np = im.np;
    py::object io = tf.attr("io");
    Features sample = parse_record(im, data);

    py::object shape = self.attr("shape");
    // Training samples are batched and fed to the network: decode them with its channel
    // count so grey and colour records never meet in one batch with different depths.
    int channels = 0;
    if (training && pykit::len(shape) > 2) {
        py::object depth = shape[py::int_(2)];
        if (pykit::equals(depth, py::int_(1))) channels = 1;
        else if (pykit::equals(depth, py::int_(3))) channels = 3;
    }
    py::object img = channels ? io.attr("decode_jpeg")(sample.image, py::arg("channels") = channels)
                              : io.attr("decode_jpeg")(sample.image);
    img = img.attr("numpy")();
    py::tuple hwc = img.attr("shape");
    py::object oH = hwc[0], oW = hwc[1];

    py::object w, h, padw, padh;
    if (training) {
        if (pykit::truthy(self.attr("letter_box"))) {
            py::object size = shape[py::slice(py::none(), py::int_(2), py::none())];
            py::tuple out = im.letterbox(img, size, py::arg("auto") = false);
            img = out[0];
            py::object ratio = out[1], pad = out[2];
            py::object rx = ratio[py::int_(0)], ry = ratio[py::int_(1)];
            w = rx * oW;
            h = ry * oH;
            padw = pad[py::int_(0)];
            padh = pad[py::int_(1)];
        } else {
            py::object width = shape[py::int_(1)], height = shape[py::int_(0)];
            img = im.cv2.attr("resize")(img, py::make_tuple(width, height));
            // cv2.resize drops the channel axis of a one-channel image.
            if (pykit::equals(img.attr("ndim"), py::int_(2))) img = np.attr("expand_dims")(img, -1);
            w = width;
            h = height;
            padw = padh = py::int_(0);
        }
    }

    py::object labels = sample.objects.attr("astype")(np.attr("int32")) + self.attr("class_offset");
    py::object flat = sample.bboxes;
    size_t values = pykit::len(flat), objects = pykit::len(labels);

    // A record that breaks the layout is refused: a wrong box count would otherwise drop
    // or misalign boxes.
    if (values % 4 != 0)
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: Record {}: ``bboxes`` holds {} values, not 4 per object",
                                   sample.name_text, values));
    if (values / 4 != objects)
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: Record {}: {} ``objects`` but {} boxes in ``bboxes``",
                                   sample.name_text, objects, values / 4));

    if (objects == 0) {
        py::object zero = np.attr("array")(py::make_tuple(py::make_tuple(0, 0, 0, 0, 0)),
                                           py::arg("dtype") = np.attr("float32"));
        if (training) return py::make_tuple(img, zero);
        return py::make_tuple(img, zero, sample.name);
    }

    py::object bboxes = flat.attr("reshape")(-1, 4);
    py::object clip = np.attr("clip");
    auto column = [](int c) { return py::make_tuple(py::slice(py::none(), py::none(), py::none()), c); };
    if (training) {
        bboxes = im.xywhn2xyxy(bboxes, w, h, py::arg("padw") = padw, py::arg("padh") = padh);
        py::object width = shape[py::int_(1)], height = shape[py::int_(0)];
        for (int c = 0; c < 4; ++c)
            bboxes[column(c)] = clip(bboxes[column(c)], 0, c % 2 == 0 ? width : height);
    } else {
        bboxes = im.xywhn2xyxy(bboxes, oW, oH, py::arg("padw") = 0, py::arg("padh") = 0);
        for (int c = 0; c < 4; ++c) {
            py::object scale = c % 2 == 0 ? oW : oH;
            py::object corner = bboxes[column(c)];
            py::object scaled = corner / scale;
            bboxes[column(c)] = clip(scaled, 0, 1);
        }
    }
    py::object label_column = np.attr("expand_dims")(labels, py::arg("axis") = 1);
    py::list parts;
    parts.append(bboxes);
    parts.append(label_column);
    bboxes = np.attr("concatenate")(parts, py::arg("axis") = 1)
                 .attr("astype")(np.attr("float32"));
    if (training) return py::make_tuple(img, bboxes);
    return py::make_tuple(img, bboxes, sample.name);
}

// Adds the batch sizes of a full pass over `ds_iter` to `self.<counter>`.
void count_samples(const py::object& self, const char* counter, const py::object& ds_iter, bool training) {
    py::object total = self.attr(counter);
    for (py::handle element : ds_iter) {
        // Training elements are (images, (boxes,)), validation ones (image, boxes, name):
        // both lead with a batch dimension.
        py::object first = training ? py::object(element[py::int_(1)][py::int_(0)])
                                    : py::object(element[py::int_(0)]);
        py::tuple dims = first.attr("shape");
        py::object size = dims[0];
        total = total + size;
    }
    self.attr(counter) = total;
}

}  // namespace

PYBIND11_MODULE(tfrecord, m) {
    auto im = std::make_shared<Imports>();
    im->letterbox = pykit::import_from("vireo.quillon.datasets.utils", "letterbox");
    im->xywhn2xyxy = pykit::import_from("vireo.quillon.datasets.utils", "xywhn2xyxy");
    im->base = pykit::import_from("vireo.quillon.datasets.core", "BaseDetectionDataset");
    im->tf = py::module_::import("tensorflow");
    py::module_ os_path = py::module_::import("os.path");
    im->join = os_path.attr("join");
    im->exists = os_path.attr("exists");
    im->np = py::module_::import("numpy");
    im->glob = py::module_::import("glob");
    im->cv2 = py::module_::import("cv2");
    im->builtins = py::module_::import("builtins");

    const std::string module = "vireo.quillon.datasets.tfrecord";
    py::object str_t = im->builtins.attr("str"), list_t = im->builtins.attr("list");
    py::object dict_t = im->builtins.attr("dict"), bool_t = im->builtins.attr("bool");
    py::object int_t = im->builtins.attr("int"), tensor_t = im->tf.attr("Tensor");
    py::object true_ = py::bool_(true);

    auto yaml_ref = pykit::class_ref();
    py::object yaml_cls =
        pykit::ClassBuilder(module, "TFRecordDatasetYaml", py::make_tuple(im->base))
            .doc(kYamlDoc)
            .def("__init__",
                 {arg("self"), arg("info_file").ann(str_t).def(none()), arg("shape").ann(list_t).def(none()),
                  arg("letter_box").ann(bool_t).def(true_), arg("add_bkg_class").ann(bool_t).def(true_),
                  arg("aug_cfg").ann(dict_t).def(none())},
                 [yaml_ref](py::object self, py::object info_file, py::object shape, py::object letter_box,
                            py::object add_bkg_class, py::object aug_cfg) {
                     pykit::super(*yaml_ref, self)
                         .attr("__init__")(info_file, py::arg("shape") = shape, py::arg("letter_box") = letter_box,
                                           py::arg("add_bkg_class") = add_bkg_class, py::arg("aug_cfg") = aug_cfg);
                     reset_paths(self);
                 })
            .def("validate_info_file_content", {arg("self"), arg("info_dataset").ann(dict_t).def(none())},
                 [](py::object self, py::object info_dataset) {
                     py::object get = info_dataset.attr("get");
                     py::object ds_type = get("type");
                     py::object train = get("train");
                     py::object val = get("validation", py::none());

                     py::object classes = get("classes", py::none());
                     self.attr("classes") = classes;
                     if (pykit::truthy(pykit::compare(self.attr("class_offset"), py::int_(0), Py_GT)))
                         self.attr("classes") = py::list(py::make_tuple("background")) + classes;

                     self.attr("num_train_samples") = section_get(train, "train", "samples");
                     self.attr("num_val_samples") = section_get(val, "validation", "samples");
                     if (among(py::int_(0), self.attr("num_train_samples"), self.attr("num_val_samples")))
                         pykit::raise(PyExc_ValueError, "[ERROR]: Quillon trainer does not support empty samples in "
                                                        "either train or validation sets");
                     if (pykit::len(self.attr("classes")) == 0)
                         pykit::raise(PyExc_ValueError, "[ERROR]: Invalid dataset with no annotation classes was found");

                     if (ds_type.is_none()) {
                         self.attr("train_storage") = train.attr("get")("images");
                         self.attr("val_storage") = val.attr("get")("images");
                     } else {
                         if (!pykit::equals(ds_type, py::str("tfrecord")))
                             pykit::raise(PyExc_ValueError,
                                          pykit::format("[ERROR]: Incompatible dataset type was found: {} is "
                                                        "different than ``tfrecord``",
                                                        ds_type));
                         self.attr("train_storage") = train.attr("get")("path");
                         self.attr("val_storage") = val.attr("get")("path");
                     }
                     if (among(py::none(), self.attr("train_storage"), self.attr("val_storage")))
                         pykit::raise(PyExc_ValueError, "[ERROR]: This dataset does not contain the ``type`` key and "
                                                        "it is not compatible with older TFRecord format neither");
                 })
            .def("load_storage", {arg("self")},
                 [im](py::object self) {
                     for (const char* name : {"train_storage", "val_storage"}) {
                         py::object folder = self.attr(name);
                         if (pykit::truthy(im->exists(folder)))
                             self.attr(name) = im->glob.attr("glob")(im->join(folder, "*.tfrecord"));
                         else
                             // Left as a string: the iterator builder refuses it by type.
                             pykit::print(pykit::format("\t - [WARNING]: TFRecord folder {} was not found", folder));
                     }
                     if (pykit::len(self.attr("val_storage")) == 0 || pykit::len(self.attr("train_storage")) == 0)
                         pykit::raise(PyExc_ValueError, "[ERROR]: Empty train or validation samples are not allowed.");
                 })
            .def("load_instance",
                 {arg("self"), arg("data").ann(tensor_t), arg("training").ann(bool_t).def(true_)},
                 [im](py::object self, py::object data, py::object training) {
                     return load_instance(*im, self, data, pykit::truthy(training));
                 },
                 "Decodes one serialized example into ``(image, boxes)`` for training or\n"
                 "``(image, boxes, name)`` for validation; boxes are float32 N x 5 corners and label.")
            .def("build_and_load_base_iterator",
                 {arg("self"), arg("storage").ann(list_t), arg("shuffle").ann(bool_t).def(true_)},
                 [im](py::object self, py::object storage, py::object shuffle) {
                     (void)self;
                     py::object autotune = im->tf.attr("data").attr("AUTOTUNE");
                     py::object iterator = im->tf.attr("data").attr("TFRecordDataset")(
                         storage, py::arg("num_parallel_reads") = autotune);
                     if (pykit::truthy(shuffle))
                         iterator = iterator.attr("shuffle")(200, py::arg("reshuffle_each_iteration") = true);
                     return iterator;
                 },
                 "Serialized examples of every record file in ``storage``, read in parallel.")
            .build(m, yaml_ref);

    auto dict_ref = pykit::class_ref();
    pykit::ClassBuilder(module, "TFRecordDataset", py::make_tuple(yaml_cls))
        .doc(kDictDoc)
        .def("__init__",
             {arg("self"), arg("info_dataset").ann(dict_t).def(none()), arg("shape").ann(list_t).def(none()),
              arg("letter_box").ann(bool_t).def(true_), arg("add_bkg_class").ann(bool_t).def(true_),
              arg("aug_cfg").ann(dict_t).def(none())},
             [dict_ref](py::object self, py::object info_dataset, py::object shape, py::object letter_box,
                        py::object add_bkg_class, py::object aug_cfg) {
                 self.attr("info_dataset") = info_dataset;
                 py::dict type;
                 type["type"] = "tfrecord";
                 self.attr("info_dataset").attr("update")(type);
                 pykit::super(*dict_ref, self)
                     .attr("__init__")(py::arg("info_file") = py::none(), py::arg("shape") = shape,
                                       py::arg("letter_box") = letter_box, py::arg("aug_cfg") = aug_cfg,
                                       py::arg("add_bkg_class") = add_bkg_class);
             })
        .def("validate_info_file", {arg("self"), arg("info_file").ann(str_t)},
             [](py::object self, py::object) -> py::object { return self.attr("info_dataset"); })
        .def("build_val_iterator", {arg("self"), arg("batch_size").ann(int_t).def(py::int_(1))},
             [dict_ref](py::object self, py::object batch_size) {
                 py::object ds_iter =
                     pykit::super(*dict_ref, self).attr("build_val_iterator")(py::arg("batch_size") = batch_size);
                 if (pykit::equals(self.attr("num_val_samples"), py::int_(0)))
                     count_samples(self, "num_val_samples", ds_iter, false);
                 return ds_iter;
             },
             "Batched ``(image, boxes, name)`` of the validation records; a sample count of 0\n"
             "is replaced by the number of records, counted with one pass.")
        .def("build_train_iterator",
             {arg("self"), arg("batch_size").ann(int_t), arg("prefetch").ann(int_t).def(py::int_(10))},
             [dict_ref](py::object self, py::object batch_size, py::object prefetch) {
                 py::object ds_iter = pykit::super(*dict_ref, self)
                                          .attr("build_train_iterator")(py::arg("batch_size") = batch_size,
                                                                        py::arg("prefetch") = prefetch);
                 if (pykit::equals(self.attr("num_train_samples"), py::int_(0)))
                     count_samples(self, "num_train_samples", ds_iter, true);
                 return ds_iter;
             },
             "Shuffled batches ``(images, (boxes,))`` of the training records; a sample count of 0\n"
             "is replaced by the number of records, counted with one pass.")
        .build(m, dict_ref);
}
