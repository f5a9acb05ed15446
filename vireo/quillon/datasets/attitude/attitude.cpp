// vireo.quillon.datasets.attitude: head-attitude datasets (pitch, yaw, roll per face image),
// alone or with face boxes, from MATLAB or JSON annotations, served as tf.data iterators.
//
// This file is the module's surface: its imports, its classes and their methods, each bound to
// a named function in the header of its concern.
#include "batches.hpp"
#include "detect.hpp"
#include "json_crop.hpp"
#include "matlab.hpp"
#include "samples.hpp"
#include "state.hpp"
#include "storage.hpp"
#include "yaml_config.hpp"

#include <vector>

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kModule = "vireo.quillon.datasets.attitude";

const char* const kAttitudeDoc =
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
    "    ValueError: the training or the validation split has no image with an annotation file,\n"
    "        or a folder path holds a NUL byte.\n";

const char* const kInitDoc =
    "Pairs every PNG and JPEG image of each split with its annotation file.\n"
    "\n"
    "Args:\n"
    "    shape (list): height, width and channel count of the network input.\n"
    "    train_images (str): folder of the training images.\n"
    "    train_annotations (str): folder of the training annotation files.\n"
    "    val_images (str): folder of the validation images.\n"
    "    val_annotations (str): folder of the validation annotation files.\n"
    "    num_bins (int): kept as ``num_bins`` for the caller; not used here.\n"
    "    file_extension (str): extension of the annotation files.\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: a training folder does not exist (from ``flow_inspection``).\n"
    "    ValueError: a split has no image with an annotation file, or a path holds a NUL byte.\n"
    "    TypeError: an argument has the wrong type.\n";

const char* const kReadAnnotationsDoc =
    "Reads one MATLAB head-pose annotation file.\n"
    "\n"
    "Args:\n"
    "    annotations_path (str): path of the ``.mat`` file.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(pose_params, pt2d)``: pitch, yaw and roll from row 0 of ``Pose_Para`` as a\n"
    "    float32 array of 3, and the ``pt2d`` landmarks as float32.\n"
    "\n"
    "Raises:\n"
    "    KeyError: the file has no ``Pose_Para`` or no ``pt2d``.\n"
    "    ValueError: ``Pose_Para`` holds no three real numbers in its first row, or a NaN, an\n"
    "        infinity or a number beyond float32 among them; the path holds a NUL byte.\n"
    "    TypeError: ``annotations_path`` is not a str.\n"
    "    OSError: the file is missing or unreadable (with ``loadmat``'s own errors).\n";

const char* const kTfLoadInstanceDoc =
    "Loads one sample inside the pipeline, through ``tf.numpy_function``.\n"
    "\n"
    "Args:\n"
    "    data: string tensor of shape [2]: the image path, then the annotation path.\n"
    "\n"
    "Returns:\n"
    "    The tensors of ``_load_instance``, without static shape.\n";

const char* const kLoadInstanceDoc =
    "Loads one sample: the image stretched to ``shape`` (blurred about one time in twenty)\n"
    "and its angles.\n"
    "\n"
    "Args:\n"
    "    data: the image path and the annotation path, as str or bytes.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(image, angles)``: uint8 [shape[0], shape[1], 3] and float32 [3] (pitch,\n"
    "    yaw, roll).\n"
    "\n"
    "Raises:\n"
    "    OSError: the image cannot be read.\n"
    "    ValueError, KeyError: the annotation cannot be used (see ``read_annotations``).\n";

const char* const kTfAugmentDoc =
    "Passes a sample through ``_augment`` inside the pipeline, through ``tf.numpy_function``.\n"
    "\n"
    "Args:\n"
    "    image (tf.Tensor): uint8 image.\n"
    "    angles (tf.Tensor): float32 pitch, yaw and roll.\n"
    "\n"
    "Returns:\n"
    "    The tensors ``_augment`` returns.\n";

const char* const kAugmentDoc =
    "The augmentation hook of the training pipeline; this dataset changes nothing.\n"
    "\n"
    "Args:\n"
    "    image (np.ndarray): uint8 image.\n"
    "    angles (np.ndarray): float32 pitch, yaw and roll.\n"
    "\n"
    "Returns:\n"
    "    The tuple ``(image, angles)``, unchanged.\n";

const char* const kTrainIteratorDoc =
    "Builds the training iterator: the whole split shuffled anew every pass, loaded, passed\n"
    "through the augmentation hook and batched (a smaller last batch is kept). Each batch is\n"
    "loaded in one call that runs ``_load_instance`` and ``_augment`` on its samples in order;\n"
    "a subclass that replaces ``tf_load_instance`` or ``tf_augment`` is mapped sample by sample\n"
    "through them instead. The pipeline runs with tf.data's autotuning off: the loads run one\n"
    "per core.\n"
    "\n"
    "Args:\n"
    "    batch_size (int): samples per batch.\n"
    "    prefetch (int): batches prepared ahead of the consumer.\n"
    "\n"
    "Returns:\n"
    "    A ``tf.data.Dataset`` of (images uint8 [B, H, W, 3], angles float32 [B, 3]).\n";

const char* const kValIteratorDoc =
    "Builds the validation iterator: the (image path, annotation path) pairs in storage order.\n"
    "\n"
    "Args:\n"
    "    batch_size (int): accepted and not used.\n"
    "    prefetch (int): accepted and not used.\n"
    "\n"
    "Returns:\n"
    "    A ``tf.data.Dataset`` of string tensors of shape [2].\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: the validation image or annotation folder does not exist.\n";

const char* const kNumTrainDoc =
    "Counts the training samples, computed on each call.\n"
    "\n"
    "Returns:\n"
    "    The number of training pairs (images with an annotation file).\n";

const char* const kYamlInitDoc =
    "Builds an attitude dataset from a YAML description file.\n"
    "\n"
    "The file names the folders under ``train`` and ``validation`` (``images`` and\n"
    "``annotations``); the classes that need it read ``classes`` too.\n"
    "\n"
    "Args:\n"
    "    shape (list): height, width and channel count of the network input.\n"
    "    info_file (str): path of the description file.\n"
    "    num_bins (int): kept as ``num_bins`` for the caller (``AttitudeDatasetYaml`` only).\n"
    "    add_bkg_class (bool): put a background class first (``AttitudeAndDetectDatasetYaml``\n"
    "        only).\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: the description file or one of its four folders does not exist.\n"
    "    ValueError: a folder entry is missing, the class list is empty where classes are\n"
    "        needed, the file or a section is not a mapping, or a path holds a NUL byte.\n"
    "    TypeError: an argument has the wrong type.\n";

const char* const kDetectDoc =
    "Extends the attitude dataset to detection plus attitude. "
    "Each angle entry comes with the box that encloses the same face.";

const char* const kDetectInitDoc =
    "Pairs every image with its JSON annotation file and sets up the class list.\n"
    "\n"
    "Args:\n"
    "    shape (list): height, width and channel count of the network input.\n"
    "    train_images (str): folder of the training images.\n"
    "    train_annotations (str): folder of the training JSON files.\n"
    "    val_images (str): folder of the validation images.\n"
    "    val_annotations (str): folder of the validation JSON files.\n"
    "    classes (list): class names in label order, without a background class.\n"
    "    add_bkg_class (bool): put \"background\" first and add 1 to every label.\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError, ValueError: as ``AttitudeDataset``.\n"
    "    TypeError: ``classes`` is None while ``add_bkg_class`` is true, or an argument has the\n"
    "        wrong type.\n";

const char* const kGetClassesDoc =
    "Gives the class names in label order.\n"
    "\n"
    "Returns:\n"
    "    The class list, \"background\" first when the dataset adds it.\n";

const char* const kDetectLoadInstanceDoc =
    "Loads one sample: the image stretched to ``shape``, every face's box and angles.\n"
    "\n"
    "Args:\n"
    "    data: the image path and the JSON annotation path, as str or bytes.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(image, boxes, angles)``: uint8 [shape[0], shape[1], 3]; float32 [N, 5] of\n"
    "    x1, y1, x2, y2 in pixels (negative values set to 0) and the label plus\n"
    "    ``label_offset``; float32 [M, 3] of pitch, yaw and roll (one row 0, 0, 0 without\n"
    "    angles).\n"
    "\n"
    "Raises:\n"
    "    OSError: the image or the JSON file cannot be read.\n"
    "    ValueError: the JSON is malformed or not an object, the boxes are not rows of 5\n"
    "        numbers, a class id is not a whole number from 0, an angle entry is not an object\n"
    "        of three numbers, or a value is NaN, infinite or beyond float32.\n";

const char* const kDetectTfAugmentDoc =
    "Passes a sample through ``_augment`` inside the pipeline, through ``tf.numpy_function``.\n"
    "\n"
    "Args:\n"
    "    image (tf.Tensor): uint8 image.\n"
    "    bboxes (tf.Tensor): float32 boxes [N, 5].\n"
    "    angles (tf.Tensor): float32 angles [M, 3].\n"
    "\n"
    "Returns:\n"
    "    The tensors ``_augment`` returns.\n";

const char* const kDetectAugmentDoc =
    "The augmentation hook of the training pipeline; this dataset changes nothing.\n"
    "\n"
    "Args:\n"
    "    image (np.ndarray): uint8 image.\n"
    "    bboxes (np.ndarray): float32 boxes [N, 5].\n"
    "    angles (np.ndarray): float32 angles [M, 3].\n"
    "\n"
    "Returns:\n"
    "    The tuple ``(image, bboxes, angles)``, unchanged.\n";

const char* const kDetectTrainIteratorDoc =
    "Builds the training iterator: shuffled anew every pass, loaded, passed through the\n"
    "augmentation hook and batched with the boxes and angles padded by zero rows. Each batch is\n"
    "loaded in one call that runs ``_load_instance`` and ``_augment`` on its samples in order;\n"
    "a subclass that replaces ``tf_load_instance`` or ``tf_augment`` is mapped sample by sample\n"
    "through them instead. The pipeline runs with tf.data's autotuning off: the loads run one\n"
    "per core.\n"
    "\n"
    "Args:\n"
    "    batch_size (int): samples per batch.\n"
    "    prefetch (int): batches prepared ahead of the consumer.\n"
    "\n"
    "Returns:\n"
    "    A ``tf.data.Dataset`` of (images uint8 [B, *shape], boxes float32 [B, Nmax, 5],\n"
    "    angles float32 [B, Mmax, 3]).\n";

const char* const kJsonInitDoc =
    "Pairs every image with its JSON annotation file; each sample is later cropped to its\n"
    "first face.\n"
    "\n"
    "Args:\n"
    "    shape (list): height, width and channel count of the network input.\n"
    "    train_images (str): folder of the training images.\n"
    "    train_annotations (str): folder of the training JSON files.\n"
    "    val_images (str): folder of the validation images.\n"
    "    val_annotations (str): folder of the validation JSON files.\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError, ValueError, TypeError: as ``AttitudeDataset``.\n";

const char* const kJsonLoadInstanceDoc =
    "Loads one sample cropped to its first face: blurred about one time in twenty, stretched\n"
    "to ``shape`` and mirrored half of the time (yaw and roll negated with it).\n"
    "\n"
    "Args:\n"
    "    data: the image path and the JSON annotation path, as str or bytes.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(image, angles)``: uint8 [shape[0], shape[1], 3] and float32 [3]; with an\n"
    "    empty ``boxes`` list the whole image and the angles 0, 0, 0.\n"
    "\n"
    "Raises:\n"
    "    OSError: the image or the JSON file cannot be read.\n"
    "    TypeError: the record has no ``boxes`` list.\n"
    "    IndexError: the record has boxes but no ``angles``.\n"
    "    ValueError: the first angles are not three finite numbers, the boxes are not rows of\n"
    "        5 numbers, the first box holds a NaN or infinity or selects no pixel of the image.\n";

// Annotations the signatures publish (the argument type rule enforces str and list).
struct Types {
    py::object str = pykit::builtin("str"), list = pykit::builtin("list");
    py::object int_ = pykit::builtin("int"), bool_ = pykit::builtin("bool");
    py::object none = py::none();
    py::object tensor, tf_function;
};

// The four folder parameters every constructor with folders takes after `shape`.
std::vector<pykit::Param> folder_params(const Types& t) {
    return {arg("self"), arg("shape").ann(t.list).def(t.none), arg("train_images").ann(t.str).def(t.none),
            arg("train_annotations").ann(t.str).def(t.none), arg("val_images").ann(t.str).def(t.none),
            arg("val_annotations").ann(t.str).def(t.none)};
}

template <class... More>
std::vector<pykit::Param> with(std::vector<pykit::Param> params, More... more) {
    (params.push_back(std::move(more)), ...);
    return params;
}

void declare_attitude_dataset(py::module_& m, const pykit::Context<attitude::State>& context, const Types& t) {
    using namespace attitude;
    pykit::ClassBuilder(kModule, "AttitudeDataset", py::make_tuple(pykit::builtin("object")), context.object)
        .doc(kAttitudeDoc)
        .def("__init__",
             with(folder_params(t), arg("num_bins").ann(t.int_).def(py::int_(66)),
                  arg("file_extension").ann(t.str).def(py::str("mat"))),
             &construct, kInitDoc)
        .def("read_annotations", {arg("self"), arg("annotations_path").ann(t.str).def(t.none)}, &read_annotations,
             kReadAnnotationsDoc)
        .def_wrapped(t.tf_function, "tf_load_instance", {arg("self"), arg("data")}, &tf_load_instance, kTfLoadInstanceDoc)
        .def("_load_instance", {arg("self"), arg("data")}, &load_instance, kLoadInstanceDoc)
        .def("tf_augment", {arg("self"), arg("image").ann(t.tensor), arg("angles").ann(t.tensor)}, &tf_augment,
             kTfAugmentDoc)
        .def("_augment", {arg("self"), arg("image").ann(t.tensor), arg("angles").ann(t.tensor)}, &augment, kAugmentDoc)
        .def("build_train_iterator",
             {arg("self"), arg("batch_size").ann(t.int_), arg("prefetch").ann(t.int_).def(py::int_(10))},
             &build_train_iterator, kTrainIteratorDoc)
        .def("build_val_iterator",
             {arg("self"), arg("batch_size").ann(t.int_).def(py::int_(1)), arg("prefetch").ann(t.int_).def(py::int_(10))},
             &build_val_iterator, kValIteratorDoc)
        .def("get_num_train_samples", {arg("self")}, &num_train_samples, kNumTrainDoc)
        .build(m, context->AttitudeDataset);
}

void declare_attitude_dataset_yaml(py::module_& m, const pykit::Context<attitude::State>& context, const Types& t) {
    using namespace attitude;
    pykit::ClassBuilder(kModule, "AttitudeDatasetYaml", py::make_tuple(context->AttitudeDataset), context.object)
        .attr("train_msg_images", py::str("``train`` section does not contain the ``images`` key"))
        .attr("train_msg_ann", py::str("``train`` section does not contain the ``annotations`` key"))
        .attr("val_msg_images", py::str("``validation`` section does not contain the ``images`` key"))
        .attr("val_msg_ann", py::str("``validation`` section does not contain the ``annotations`` key"))
        .attr("location_msg", py::str("Location provided for training images does not exist in the given location:{}"))
        .def("__init__",
             {arg("self"), arg("shape").ann(t.list).def(t.none), arg("info_file").ann(t.str).def(t.none),
              arg("num_bins").ann(t.int_).def(py::int_(3))},
             &construct_yaml, kYamlInitDoc)
        .def("get_num_train_samples", {arg("self")}, &num_train_samples, kNumTrainDoc)
        .build(m, context->AttitudeDatasetYaml);
}

void declare_attitude_and_detect_dataset(py::module_& m, const pykit::Context<attitude::State>& context,
                                         const Types& t) {
    using namespace attitude;
    const auto augment_params = {arg("self"), arg("image").ann(t.tensor), arg("bboxes").ann(t.tensor).def(t.none),
                                 arg("angles").ann(t.tensor).def(t.none)};
    pykit::ClassBuilder(kModule, "AttitudeAndDetectDataset", py::make_tuple(context->AttitudeDataset), context.object)
        .doc(kDetectDoc)
        .def("__init__",
             with(folder_params(t), arg("classes").ann(t.list).def(t.none),
                  arg("add_bkg_class").ann(t.bool_).def(py::bool_(true))),
             &construct_detect, kDetectInitDoc)
        .def("get_num_train_samples", {arg("self")}, &num_train_samples, kNumTrainDoc)
        .def("get_classes", {arg("self")}, &get_classes, kGetClassesDoc)
        .def_wrapped(t.tf_function, "tf_load_instance", {arg("self"), arg("data")}, &tf_load_detect_instance,
                     kTfLoadInstanceDoc)
        .def("_load_instance", {arg("self"), arg("data")}, &load_detect_instance, kDetectLoadInstanceDoc)
        .def("tf_augment", augment_params, &tf_augment_detect, kDetectTfAugmentDoc)
        .def("_augment", augment_params, &augment_detect, kDetectAugmentDoc)
        .def("build_train_iterator",
             {arg("self"), arg("batch_size").ann(t.int_), arg("prefetch").ann(t.int_).def(py::int_(10))},
             &build_detect_train_iterator, kDetectTrainIteratorDoc)
        .build(m, context->AttitudeAndDetectDataset);
}

void declare_attitude_dataset_json(py::module_& m, const pykit::Context<attitude::State>& context, const Types& t) {
    using namespace attitude;
    pykit::ClassBuilder(kModule, "AttitudeDatasetJson", py::make_tuple(context->AttitudeDataset), context.object)
        .def("__init__", folder_params(t), &construct_json, kJsonInitDoc)
        .def("_load_instance", {arg("self"), arg("data")}, &load_cropped_instance, kJsonLoadInstanceDoc)
        .build(m, context->AttitudeDatasetJson);
}

void declare_yaml_variants(py::module_& m, const pykit::Context<attitude::State>& context, const Types& t) {
    using namespace attitude;
    pykit::ClassBuilder(kModule, "AttitudeAndDetectDatasetYaml", py::make_tuple(context->AttitudeAndDetectDataset),
                        context.object)
        .def("__init__",
             {arg("self"), arg("shape").ann(t.list).def(t.none), arg("info_file").ann(t.str).def(t.none),
              arg("add_bkg_class").ann(t.bool_).def(py::bool_(true))},
             &construct_detect_yaml, kYamlInitDoc)
        .build(m, context->AttitudeAndDetectDatasetYaml);

    pykit::ClassBuilder(kModule, "AttitudeDatasetJsonYaml", py::make_tuple(context->AttitudeDatasetJson), context.object)
        .def("__init__", {arg("self"), arg("shape").ann(t.list).def(t.none), arg("info_file").ann(t.str).def(t.none)},
             &construct_json_yaml, kYamlInitDoc)
        .build(m, context->AttitudeDatasetJsonYaml);
}

}  // namespace

PYBIND11_MODULE(attitude, m) {
    auto context = pykit::make_context<attitude::State>();
    attitude::State& s = *context;
    // The imports, in load order, each published on the module as its import statement would.
    const auto path = datasets::import_names(m, "os.path", {"exists", "join", "basename", "splitext"});
    s.exists = path[0];
    s.join = path[1];
    s.basename = path[2];
    s.splitext = path[3];
    s.xywhn2xyxy = pykit::import_name(m, "vireo.quillon.datasets.utils", "xywhn2xyxy");
    const auto pil = datasets::import_names(m, "PIL", {"Image", "ImageFilter"});
    s.Image = pil[0];
    s.ImageFilter = pil[1];
    s.tf = pykit::import_module(m, "tensorflow", "tf");
    s.sio = pykit::import_module(m, "scipy.io", "sio");
    s.np = pykit::import_module(m, "numpy", "np");
    s.json = pykit::import_module(m, "json", "json");
    s.cv2 = pykit::import_module(m, "cv2", "cv2");

    // The batched training chain's functions (batches.hpp), kept in the state, not published.
    s.read_angle_batch = pykit::function("read_angle_batch", {arg("self"), arg("entries")}, &attitude::read_angle_batch,
                                         nullptr, {}, context.object);
    s.load_angle_batch = pykit::function("load_angle_batch", {arg("self"), arg("entries")}, &attitude::load_angle_batch,
                                         nullptr, {}, context.object);
    s.read_face_batch = pykit::function("read_face_batch", {arg("self"), arg("image_shape"), arg("entries")},
                                        &attitude::read_face_batch, nullptr, {}, context.object);
    s.load_face_batch = pykit::function("load_face_batch", {arg("self"), arg("image_shape"), arg("entries")},
                                        &attitude::load_face_batch, nullptr, {}, context.object);

    Types types;
    types.tensor = s.tf.attr("Tensor");
    types.tf_function = s.tf.attr("function");
    // The classes, in order; each subclass's base is built before it.
    declare_attitude_dataset(m, context, types);
    declare_attitude_dataset_yaml(m, context, types);
    declare_attitude_and_detect_dataset(m, context, types);
    declare_attitude_dataset_json(m, context, types);
    declare_yaml_variants(m, context, types);
}
