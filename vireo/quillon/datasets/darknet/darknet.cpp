// vireo.quillon.datasets.darknet: detection datasets of images with Darknet text annotations.
//
// This file is the module's surface: its imports, load-time statements and classes. The
// method bodies live in description.hpp (construction, description checks), instance.hpp and
// annotation_file.hpp (one sample) and storage.hpp (listing, base iterator).
#include <pykit.hpp>

#include "annotation_file.hpp"
#include "description.hpp"
#include "instance.hpp"
#include "state.hpp"
#include "storage.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kYamlText = R"doc(Detection dataset of images with Darknet text annotations, described by a YAML file.

The description names the classes and the image and annotation folders of both splits:

    type: darknet
    classes: ['class 1', 'class 2', ..., 'class n']
    anchors: ...                      # optional, kept in ``_anchors``
    train:
        images: /absolute/path/to/train/images
        annotations: /absolute/path/to/train/annotations
    validation:
        images: /absolute/path/to/validation/images
        annotations: /absolute/path/to/validation/annotations

An image ``name.jpg`` (png, jpg or jpeg, any case) pairs with ``name.txt`` in the annotation
folder; images without one are skipped. Each line of an annotation file is one object:
``class x_center y_center width height``, the last four divided by the image size, the class an
index of ``classes``. The description is checked and the samples listed once the constructor
has returned (``validate_info_file`` -> ``validate_info_file_content`` -> ``load_storage``).
)doc";

const char* const kYamlRaises = R"doc(    TypeError: ``info_file``, ``shape`` or ``aug_cfg`` is not exactly a str, list or dict.
    ValueError: the description cannot be used, or a split has no samples (a line first names
        each folder that does not exist).
)doc";

const char* const kDictText = R"doc(Detection dataset of images with Darknet text annotations, described by a dictionary.

The dictionary has the layout of the ``DarknetDatasetYaml`` description file. It is kept in
``info_dataset`` and gains (or has overwritten) the key ``type`` set to ``darknet``.
)doc";

const char* const kDictRaises = R"doc(    TypeError: ``info_dataset``, ``shape`` or ``aug_cfg`` is not exactly a dict, list or dict.
    AttributeError: ``info_dataset`` is None.
    ValueError: the description cannot be used, or a split has no samples.
)doc";

const char* const kInitYamlText = R"doc(Runs the base constructor, then resets the folder attributes.

The description is loaded after construction, by the base class.
)doc";

const char* const kInitDictText = R"doc(Keeps the description, marks it ``type: darknet`` and runs the file variant's constructor.
)doc";

const char* const kFileArg = "info_file (str): path of the description file.";
const char* const kDictionaryArg =
    "info_dataset (dict): the dataset description; the caller's dictionary gains ``type``.";

const char* const kValidateContentDoc = R"doc(Checks the description and stores its classes and folders.

Prints a line for a ``train`` or ``validation`` section given as null. Folder paths are stored
before they are checked.

Args:
    info_dataset (dict): the dataset description.

Returns:
    None.

Raises:
    ValueError: the type is not darknet (any case), there are no classes, or a section lacks
        ``images`` or ``annotations``.
    AttributeError: ``type`` is missing or not a string.
    TypeError: ``classes`` is missing; ``info_dataset`` is not exactly a dict.
)doc";

const char* const kLoadInstanceDoc = R"doc(Reads one sample: its image and its boxes.

Training samples are fitted to ``shape`` (letterbox or plain resize) with boxes in pixels of
the fitted image; validation samples keep the stored size, with boxes divided by it. Boxes are
clipped, never dropped; a sample without objects (no or empty annotation file) has the single
box row 0, 0, 0, 0, 0.

Args:
    data: the image path and the annotation path, as byte strings.
    training (bool): read a training sample rather than a validation one.

Returns:
    ``(image, boxes)`` when training, else ``(image, boxes, name)``: image uint8
    height x width x 3 RGB; boxes float32 N x 5 (x_min, y_min, x_max, y_max, label), label =
    class + ``class_offset``; name the image's file name.

Raises:
    ValueError: ``data`` does not hold two paths; a path holds a NUL byte; an annotation line
        does not hold 5 values, holds a value that is not a finite number, or a class id that
        is not an index of the description's classes (the message names the file and line).
    PIL.UnidentifiedImageError: the image file cannot be read.
)doc";

const char* const kLoadStorageDoc = R"doc(Lists the image and annotation pairs of both splits and counts them.

Images are the png, jpg and jpeg files of the split's images folder (png first); each pairs
with the ``.txt`` file of the same base name in the annotations folder, and images without
one are skipped. A green progress bar shows each split.

Returns:
    None.

Raises:
    ValueError: a split has no sample; a line first names each folder that does not exist.
)doc";

const char* const kBaseIteratorDoc = R"doc(The ``tf.data.Dataset`` over a storage list.

Args:
    storage (list): ``[image path, annotation path]`` entries.
    shuffle (bool): reshuffle the whole list at every pass.

Returns:
    A ``tf.data.Dataset`` of string tensors of shape (2,).

Raises:
    TypeError: ``storage`` is not exactly a list (or None).
)doc";

const char* const kReadAnnotationsDoc = R"doc(``np.genfromtxt(path)`` as ``load_instance`` reads an annotation file.

Files of plain decimal numbers are read natively, with the same result.

Args:
    path (str): the annotation file.

Returns:
    The float64 array ``np.genfromtxt`` returns.

Raises:
    ValueError: the path holds a NUL byte, or genfromtxt's error for ragged lines.
    FileNotFoundError: the file does not exist.
)doc";

void declare_read_annotations(py::module_& m, const pykit::Context<darknet::State>& context,
                        const datasets::Annotations& t) {
    py::object read_annotations = pykit::function("_read_annotations", {arg("path").ann(t.str_t)},
                                                  &darknet::read_annotations, kReadAnnotationsDoc, {}, context.object);
    pykit::set_names(read_annotations, darknet::kModule, "_read_annotations");
    m.attr("_read_annotations") = read_annotations;
}

void declare_yaml_class(py::module_& m, const pykit::Context<darknet::State>& context,
                        const datasets::Annotations& t) {
    darknet::State& s = *context;
    py::object none = py::none(), yes = py::bool_(true);
    py::object cls =
        pykit::ClassBuilder(darknet::kModule, "DarknetDatasetYaml", py::make_tuple(s.BaseDetectionDataset),
                            context.object)
            .doc(datasets::constructor_doc(kYamlText, kFileArg, kYamlRaises).c_str())
            .def("__init__", datasets::constructor_params(t, "info_file", t.str_t), &darknet::init_from_file,
                 datasets::constructor_doc(kInitYamlText, kFileArg, datasets::kFileInitRaises).c_str())
            .def("validate_info_file_content", {arg("self"), arg("info_dataset").ann(t.dict_t).def(none)},
                 &darknet::check_description, kValidateContentDoc)
            .def("load_instance", {arg("self"), arg("data").ann(t.tensor_t), arg("training").ann(t.bool_t).def(yes)},
                 &darknet::load_instance, kLoadInstanceDoc)
            .def("load_storage", {arg("self")}, &darknet::load_storage, kLoadStorageDoc)
            .def("build_and_load_base_iterator",
                 {arg("self"), arg("storage").ann(t.list_t), arg("shuffle").ann(t.bool_t).def(yes)},
                 &darknet::base_iterator, kBaseIteratorDoc)
            .build(m, s.DarknetDatasetYaml);
    datasets::publish_constructor_signature(cls);
}

void declare_dict_class(py::module_& m, const pykit::Context<darknet::State>& context,
                        const datasets::Annotations& t) {
    darknet::State& s = *context;
    py::object cls =
        pykit::ClassBuilder(darknet::kModule, "DarknetDataset", py::make_tuple(s.DarknetDatasetYaml), context.object)
            .doc(datasets::constructor_doc(kDictText, kDictionaryArg, kDictRaises).c_str())
            .def("__init__", datasets::constructor_params(t, "info_dataset", t.dict_t), &darknet::init_from_dictionary,
                 datasets::constructor_doc(kInitDictText, kDictionaryArg, datasets::kDictionaryInitRaises)
                     .c_str())
            .def("validate_info_file", {arg("self"), arg("info_file").ann(t.str_t)}, &datasets::stored_description,
                 datasets::kStoredDescriptionDoc)
            .build(m, s.DarknetDataset);
    datasets::publish_constructor_signature(cls);
}

}  // namespace

PYBIND11_MODULE(darknet, m) {
    auto context = pykit::make_context<darknet::State>();
    darknet::State& s = *context;
    auto utils = datasets::import_names(m, "vireo.quillon.datasets.utils", {"letterbox", "xywhn2xyxy"});
    s.letterbox = utils[0];
    s.xywhn2xyxy = utils[1];
    s.BaseDetectionDataset = pykit::import_name(m, "vireo.quillon.datasets.core", "BaseDetectionDataset");
    s.tf = pykit::import_module(m, "tensorflow", "tf");
    auto pil = datasets::import_names(m, "PIL", {"Image", "ImageFile"});
    s.Image = pil[0];
    s.ImageFile = pil[1];
    auto path = datasets::import_names(m, "os.path", {"join", "basename", "splitext", "exists"});
    s.join = path[0];
    s.basename = path[1];
    s.splitext = path[2];
    s.exists = path[3];
    s.np = pykit::import_module(m, "numpy", "np");
    s.glob = pykit::import_module(m, "glob", "glob");
    s.cv2 = pykit::import_module(m, "cv2", "cv2");
    s.tqdm = pykit::import_module(m, "tqdm", "tqdm");
    s.warnings = pykit::import_module(m, "warnings", "warnings");

    s.np.attr("seterr")(py::arg("all") = "ignore");
    s.ImageFile.attr("LOAD_TRUNCATED_IMAGES") = true;

    const datasets::Annotations types = datasets::annotations(s.tf);
    declare_read_annotations(m, context, types);
    declare_yaml_class(m, context, types);
    declare_dict_class(m, context, types);
}
