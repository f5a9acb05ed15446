// vireo.quillon.datasets.darknet: detection datasets of images with Darknet text annotations.
#include <pykit.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/annotations.hpp"
#include "common/pixels.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kModule = "vireo.quillon.datasets.darknet";

const char* const kYamlDoc =
    "Detection dataset of images with Darknet text annotations, described by a YAML file.\n"
    "\n"
    "The description names the classes and the image and annotation folders of both splits:\n"
    "\n"
    "    type: darknet\n"
    "    classes: ['class 1', 'class 2', ..., 'class n']\n"
    "    anchors: ...                      # optional, kept in ``_anchors``\n"
    "    train:\n"
    "        images: /absolute/path/to/train/images\n"
    "        annotations: /absolute/path/to/train/annotations\n"
    "    validation:\n"
    "        images: /absolute/path/to/validation/images\n"
    "        annotations: /absolute/path/to/validation/annotations\n"
    "\n"
    "An image ``name.jpg`` (png, jpg or jpeg, any case) pairs with ``name.txt`` in the\n"
    "annotation folder; images without one are skipped. Each line of an annotation file is\n"
    "one object: ``class x_center y_center width height``, the last four divided by the\n"
    "image size.\n"
    "\n"
    "Args:\n"
    "    info_file (str): path of the description file.\n"
    "    shape (list): height, width and channels of the training samples.\n"
    "    letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.\n"
    "    add_bkg_class (bool): reserve label 0 for a background class.\n"
    "    aug_cfg (dict): augmentation configuration, used by the base class.\n";

const char* const kDictDoc =
    "Detection dataset of images with Darknet text annotations, described by a dictionary\n"
    "with the layout of the ``DarknetDatasetYaml`` description file. The dictionary gains the\n"
    "key ``type`` set to ``darknet``.\n";

const char* const kPatterns[] = {"*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]"};

struct Imports {
    py::object letterbox, xywhn2xyxy;
    py::object BaseDetectionDataset;
    py::object tf;
    py::object Image, ImageFile;
    py::object join, basename, splitext, exists;
    py::object np;
    py::object glob;
    py::object cv2;
    py::object tqdm;
    py::object warnings;
    // Attributes used once per sample.
    py::object open_image, asarray, genfromtxt, expand_dims, roll, clip, isnan, float32, all_rows;
};

// np.asarray(Image.open(path).convert("RGB")), reading the pixels natively when Pillow can
// export them; the file is closed before returning.
py::object read_rgb(const Imports& im, const py::object& path) {
    return pykit::closing(im.open_image(path), [&](const py::object& image) {
        image.attr("load")();
        // convert("RGB") of an RGB image is a plain copy: skip it.
        py::object rgb = pykit::equals(image.attr("mode"), py::str("RGB")) ? image : image.attr("convert")("RGB");
        py::tuple size = rgb.attr("size");
        py::object pixels = datasets::rgb_pixels(rgb, size[0].cast<py::ssize_t>(), size[1].cast<py::ssize_t>());
        if (!pixels) pixels = im.asarray(rgb);
        return pixels;
    });
}

// np.genfromtxt(path) for a Darknet annotation file. Plain files are read natively (`native`
// set); others go to genfromtxt. `columns` is the number of values per line when known, else -1.
py::object read_annotations(const Imports& im, const py::str& path, long& columns, bool& native) {
    py::bytes encoded = py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded) throw py::error_already_set();
    std::string file = encoded;
    datasets::Table table;
    bool read = false;
    {
        py::gil_scoped_release nogil;
        std::string text;
        read = datasets::read_file(file.c_str(), text);
        if (read) table = datasets::parse_table(text);
    }
    columns = read && table.ascii && table.rows > 0 ? (long)table.cols : -1;
    native = read && table.complete();
    if (native) {
        // genfromtxt squeezes axes of length 1; an empty file gives shape (0,).
        std::vector<py::ssize_t> shape;
        if (table.rows == 0) shape.push_back(0);
        if (table.rows > 1) shape.push_back((py::ssize_t)table.rows);
        if (table.rows > 0 && table.cols != 1) shape.push_back((py::ssize_t)table.cols);
        py::array_t<double> out(shape);
        if (!table.values.empty())
            std::memcpy(out.mutable_data(), table.values.data(), table.values.size() * sizeof(double));
        return std::move(out);
    }
    // genfromtxt warns about empty files; the warning is not for the user.
    py::object result;
    pykit::with(im.warnings.attr("catch_warnings")(), [&] {
        im.warnings.attr("simplefilter")("ignore");
        result = im.genfromtxt(path);
    });
    return result;
}

void build_darknet_yaml(py::module_& m, const py::object& builtins, const std::shared_ptr<Imports>& im,
                        const pykit::ClassRef& yaml_ref) {
    py::object str_t = builtins.attr("str"), list_t = builtins.attr("list"), dict_t = builtins.attr("dict");
    py::object bool_t = builtins.attr("bool");

    pykit::ClassBuilder(kModule, "DarknetDatasetYaml", py::make_tuple(im->BaseDetectionDataset))
        .doc(kYamlDoc)
        .def("__init__",
             {arg("self"), arg("info_file").ann(str_t).def(py::none()), arg("shape").ann(list_t).def(py::none()),
              arg("letter_box").ann(bool_t).def(py::bool_(true)), arg("add_bkg_class").ann(bool_t).def(py::bool_(true)),
              arg("aug_cfg").ann(dict_t).def(py::none())},
             [yaml_ref](py::object self, py::object info_file, py::object shape, py::object letter_box,
                        py::object add_bkg_class, py::object aug_cfg) {
                 pykit::super(*yaml_ref, self)
                     .attr("__init__")(info_file, shape, letter_box, py::arg("add_bkg_class") = add_bkg_class,
                                       py::arg("aug_cfg") = aug_cfg);
                 // The base loads the description after construction, into these.
                 self.attr("path_train_images") = py::none();
                 self.attr("path_train_annotations") = py::none();
                 self.attr("path_val_images") = py::none();
                 self.attr("path_val_annotations") = py::none();
                 self.attr("train_images") = py::none();
                 self.attr("val_images") = py::none();
                 self.attr("train_annotations") = py::none();
                 self.attr("val_annotations") = py::list();
             },
             "Sets the base attributes, then resets the folder paths; the description is loaded after\n"
             "construction (validate_info_file -> validate_info_file_content -> load_storage).")
        .def("validate_info_file_content", {arg("self"), arg("info_dataset").ann(dict_t).def(py::none())},
             [](py::object self, py::object info_dataset) {
                 py::object ds_type = info_dataset.attr("get")("type");
                 py::object lowered = ds_type.attr("lower")();
                 if (!pykit::equals(lowered, py::str("darknet")))
                     pykit::raise(PyExc_ValueError,
                                  pykit::format("[ERROR]: Incompatible dataset type was found: {} is different than "
                                                "``darknet``",
                                                ds_type));
                 self.attr("classes") = info_dataset.attr("get")("classes", py::none());
                 self.attr("_anchors") = info_dataset.attr("get")("anchors", py::none());
                 if (pykit::truthy(pykit::compare(py::object(self.attr("class_offset")), py::int_(0), Py_GT))) {
                     py::list background;
                     background.append("background");
                     self.attr("classes") = background + self.attr("classes");
                 }
                 if (pykit::len(self.attr("classes")) == 0)
                     pykit::raise(PyExc_ValueError, "[ERROR]: Invalid dataset with no annotation classes was found");

                 py::object train = info_dataset.attr("get")("train", py::dict());
                 py::object val = info_dataset.attr("get")("validation", py::dict());
                 if (train.is_none()) pykit::print("\t - [ERROR] Dataset format is inconsistent. Missing key ``train``");
                 if (val.is_none())
                     pykit::print("\t - [ERROR] Dataset format is inconsistent. Missing key ``validation``");

                 // Paths are stored before they are checked, as in the description's order.
                 auto section = [&](const py::object& split, const char* images_attr, const char* annotations_attr,
                                    const char* message) {
                     py::object images = split.is_none() ? py::none() : py::object(split.attr("get")("images"));
                     py::object annotations =
                         split.is_none() ? py::none() : py::object(split.attr("get")("annotations"));
                     self.attr(images_attr) = images;
                     self.attr(annotations_attr) = annotations;
                     py::list both;
                     both.append(images);
                     both.append(annotations);
                     if (both.contains(py::none())) pykit::raise(PyExc_ValueError, message);
                 };
                 section(train, "path_train_images", "path_train_annotations",
                         "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``train`` section");
                 section(val, "path_val_images", "path_val_annotations",
                         "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``validate`` section");
             },
             "Checks the description: type, classes, train and validation folders. Prints a line for a\n"
             "split given as null; raises ValueError for what cannot be used.")
        .def("load_instance", {arg("self"), arg("data").ann(im->tf.attr("Tensor")), arg("training").ann(bool_t).def(py::bool_(true))},
             [im](py::object self, py::object data, py::object training_flag) -> py::object {
                 std::vector<py::object> paths = pykit::unpack(data, 2);
                 py::object img_path = paths[0], ann_path = paths[1];
                 img_path = img_path.attr("decode")();
                 py::object img = read_rgb(*im, img_path);
                 py::tuple img_shape = img.attr("shape");
                 py::object oH = img_shape[0], oW = img_shape[1];
                 const bool training = pykit::truthy(training_flag);

                 py::object shape = self.attr("shape");
                 py::object w, h, padw = py::int_(0), padh = py::int_(0);
                 if (training) {
                     if (pykit::truthy(self.attr("letter_box"))) {
                         py::tuple boxed = im->letterbox(img, shape[py::slice(0, 2, 1)], py::arg("auto") = false);
                         img = boxed[0];
                         py::object ratio = boxed[1], pad = boxed[2];
                         w = py::object(ratio[py::int_(0)]) * oW;
                         h = py::object(ratio[py::int_(1)]) * oH;
                         padw = pad[py::int_(0)];
                         padh = pad[py::int_(1)];
                     } else {
                         img = im->cv2.attr("resize")(img, py::make_tuple(shape[py::int_(1)], shape[py::int_(0)]));
                         w = shape[py::int_(1)];
                         h = shape[py::int_(0)];
                     }
                 }
                 py::object name = training ? py::object() : im->basename(img_path);
                 auto result = [&](const py::object& boxes) -> py::object {
                     if (training) return py::make_tuple(img, boxes);
                     return py::make_tuple(img, boxes, name);
                 };

                 py::str ann_file = ann_path.attr("decode")();
                 py::object annotations;
                 long columns = -1;
                 bool native = false;
                 if (pykit::truthy(im->exists(ann_file)))
                     annotations = read_annotations(*im, ann_file, columns, native);
                 else annotations = py::list();
                 // A line must hold the five Darknet values; other counts would shift columns into
                 // the wrong places (or lose the label) without any error. A single value gives a
                 // 0-d array, which has no length.
                 const bool missing = py::isinstance<py::list>(annotations);
                 py::tuple ann_shape = missing ? py::tuple() : py::tuple(annotations.attr("shape"));
                 if (!missing && ann_shape.size() == 0) columns = 1;
                 if (columns < 0 && pykit::len(annotations) == 0) {
                     py::array_t<float> empty({(py::ssize_t)1, (py::ssize_t)5});
                     std::fill_n(empty.mutable_data(), 5, 0.0f);
                     return result(empty);
                 }
                 if (columns < 0) columns = ann_shape[ann_shape.size() - 1].cast<long>();
                 if (columns != 5)
                     pykit::raise(PyExc_ValueError,
                                  pykit::format("[ERROR]: Invalid annotation file {}: each line must hold 5 values "
                                                "(class x_center y_center width height), found {}",
                                                ann_file, columns));
                 // genfromtxt turns text it cannot read as a number into NaN.
                 if (!native && pykit::truthy(im->isnan(annotations).attr("any")()))
                     pykit::raise(PyExc_ValueError,
                                  pykit::format("[ERROR]: Invalid annotation file {}: a value is not a number", ann_file));
                 if (ann_shape.size() == 1) annotations = im->expand_dims(annotations, 0);
                 annotations = im->roll(annotations, 4, py::arg("axis") = 1);

                 py::object bboxes;
                 const py::object& all = im->all_rows;
                 auto column = [&](int c) { return py::make_tuple(all, c); };
                 if (training) {
                     bboxes = im->xywhn2xyxy(annotations, w, h, py::arg("padw") = padw, py::arg("padh") = padh);
                     for (int c = 0; c < 4; ++c) {
                         py::object limit = shape[py::int_(c % 2 == 0 ? 1 : 0)];
                         bboxes[column(c)] = im->clip(bboxes[column(c)], 0, limit);
                     }
                 } else {
                     bboxes = im->xywhn2xyxy(annotations, oW, oH, py::arg("padw") = 0, py::arg("padh") = 0);
                     for (int c = 0; c < 4; ++c) {
                         py::object size = c % 2 == 0 ? oW : oH;
                         py::object scaled = py::object(bboxes[column(c)]) / size;
                         bboxes[column(c)] = im->clip(scaled, 0, 1);
                     }
                 }
                 bboxes[column(4)] = py::object(bboxes[column(4)]) + self.attr("class_offset");
                 return result(bboxes.attr("astype")(im->float32));
             },
             "Reads one sample: (image, boxes) when training, resized to ``shape`` with boxes in pixels;\n"
             "else (image, boxes, file name), boxes divided by the stored image size.")
        .def("load_storage", {arg("self")},
             [im](py::object self) {
                 struct Split {
                     const char *images, *annotations, *desc, *storage, *count, *error;
                 };
                 const Split splits[] = {
                     {"path_train_images", "path_train_annotations", "Loading training dataset", "train_storage",
                      "num_train_samples", "[ERROR]: Dataset with empty training samples is not allowed"},
                     {"path_val_images", "path_val_annotations", "Loading validation dataset", "val_storage",
                      "num_val_samples", "[ERROR]: Dataset with empty validation samples is not allowed"},
                 };
                 for (const Split& split : splits) {
                     py::object images = py::list();
                     for (const char* pattern : kPatterns)
                         images = images + im->glob.attr("glob")(im->join(self.attr(split.images), pattern));
                     py::object loop = im->tqdm.attr("tqdm")(
                         images, py::arg("desc") = split.desc, py::arg("colour") = "green",
                         py::arg("bar_format") = "{l_bar}{bar:15}{r_bar}{bar:-15b}");
                     py::object storage = self.attr(split.storage);
                     py::object folder = self.attr(split.annotations);
                     for (py::handle img : loop) {
                         py::object stem = im->splitext(im->basename(img))[py::int_(0)];
                         py::object ann_path = im->join(folder, stem + py::str(".txt"));
                         if (pykit::truthy(im->exists(ann_path)))
                             storage.attr("append")(py::list(py::make_tuple(img, ann_path)));
                     }
                     self.attr(split.count) = py::int_(pykit::len(storage));
                     if (pykit::len(storage) == 0) pykit::raise(PyExc_ValueError, split.error);
                 }
             },
             "Lists the image/annotation pairs of both splits into the storages and counts them.")
        .def("build_and_load_base_iterator",
             {arg("self"), arg("storage").ann(list_t), arg("shuffle").ann(bool_t).def(py::bool_(true))},
             [im](py::object, py::object storage, py::object shuffle) {
                 py::object iterator = im->tf.attr("data").attr("Dataset").attr("from_tensor_slices")(storage);
                 // A buffer of the whole dataset: every epoch is a full permutation.
                 if (pykit::truthy(shuffle))
                     iterator = iterator.attr("shuffle")(py::arg("buffer_size") = iterator.attr("cardinality")());
                 return iterator;
             },
             "The tf.data.Dataset over a storage, reshuffled in full at every pass when ``shuffle``.")
        .build(m, yaml_ref);
}

void build_darknet_dict(py::module_& m, const py::object& builtins, const py::object& yaml_class) {
    py::object str_t = builtins.attr("str"), list_t = builtins.attr("list"), dict_t = builtins.attr("dict");
    py::object bool_t = builtins.attr("bool");
    auto dict_ref = pykit::class_ref();

    pykit::ClassBuilder(kModule, "DarknetDataset", py::make_tuple(yaml_class))
        .doc(kDictDoc)
        .def("__init__",
             {arg("self"), arg("info_dataset").ann(dict_t).def(py::none()), arg("shape").ann(list_t).def(py::none()),
              arg("letter_box").ann(bool_t).def(py::bool_(true)), arg("add_bkg_class").ann(bool_t).def(py::bool_(true)),
              arg("aug_cfg").ann(dict_t).def(py::none())},
             [dict_ref](py::object self, py::object info_dataset, py::object shape, py::object letter_box,
                        py::object add_bkg_class, py::object aug_cfg) {
                 self.attr("info_dataset") = info_dataset;
                 py::dict type;
                 type["type"] = "darknet";
                 self.attr("info_dataset").attr("update")(type);
                 pykit::super(*dict_ref, self)
                     .attr("__init__")(py::arg("info_file") = py::none(), py::arg("shape") = shape,
                                       py::arg("letter_box") = letter_box, py::arg("aug_cfg") = aug_cfg,
                                       py::arg("add_bkg_class") = add_bkg_class);
             },
             "Builds the dataset from a description dictionary, which gains ``type: darknet``.")
        .def("validate_info_file", {arg("self"), arg("info_file").ann(str_t)},
             [](py::object self, py::object) -> py::object { return self.attr("info_dataset"); },
             "Returns the description dictionary given to the constructor.")
        .build(m, dict_ref);
}

}  // namespace

PYBIND11_MODULE(darknet, m) {
    auto im = std::make_shared<Imports>();
    py::object builtins = py::module_::import("builtins");
    py::object utils = pykit::from_import("vireo.quillon.datasets.utils", {"letterbox", "xywhn2xyxy"});
    im->letterbox = utils.attr("letterbox");
    im->xywhn2xyxy = utils.attr("xywhn2xyxy");
    im->BaseDetectionDataset = pykit::import_from("vireo.quillon.datasets.core", "BaseDetectionDataset");
    im->tf = py::module_::import("tensorflow");
    py::object pil = pykit::from_import("PIL", {"Image", "ImageFile"});
    im->Image = pil.attr("Image");
    im->ImageFile = pil.attr("ImageFile");
    py::object path = pykit::from_import("os.path", {"join", "basename", "splitext", "exists"});
    im->join = path.attr("join");
    im->basename = path.attr("basename");
    im->splitext = path.attr("splitext");
    im->exists = path.attr("exists");
    im->np = py::module_::import("numpy");
    im->glob = py::module_::import("glob");
    im->cv2 = py::module_::import("cv2");
    im->tqdm = py::module_::import("tqdm");
    im->warnings = py::module_::import("warnings");

    im->open_image = im->Image.attr("open");
    im->asarray = im->np.attr("asarray");
    im->genfromtxt = im->np.attr("genfromtxt");
    im->expand_dims = im->np.attr("expand_dims");
    im->roll = im->np.attr("roll");
    im->clip = im->np.attr("clip");
    im->isnan = im->np.attr("isnan");
    im->float32 = im->np.attr("float32");
    im->all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));

    // The names a Python module with these imports would hold.
    for (const char* name : {"letterbox", "xywhn2xyxy"}) m.attr(name) = utils.attr(name);
    m.attr("BaseDetectionDataset") = im->BaseDetectionDataset;
    m.attr("tf") = im->tf;
    m.attr("Image") = im->Image;
    m.attr("ImageFile") = im->ImageFile;
    for (const char* name : {"join", "basename", "splitext", "exists"}) m.attr(name) = path.attr(name);
    m.attr("np") = im->np;
    m.attr("glob") = im->glob;
    m.attr("cv2") = im->cv2;
    m.attr("tqdm") = im->tqdm;
    m.attr("warnings") = im->warnings;

    im->np.attr("seterr")(py::arg("all") = "ignore");
    im->ImageFile.attr("LOAD_TRUNCATED_IMAGES") = true;

    // np.genfromtxt(path) as load_instance reads annotation files (for checking the native reader).
    py::object reader = pykit::function(
        "_read_annotations", {arg("path").ann(builtins.attr("str"))},
        [im](py::object path) {
            long columns = -1;
            bool native = false;
            return read_annotations(*im, py::str(path), columns, native);
        },
        "np.genfromtxt(path), read natively when the file holds plain decimal numbers.");
    pykit::set_names(reader, kModule, "_read_annotations");
    m.attr("_read_annotations") = reader;

    auto yaml_ref = pykit::class_ref();
    build_darknet_yaml(m, builtins, im, yaml_ref);
    build_darknet_dict(m, builtins, *yaml_ref);
}
