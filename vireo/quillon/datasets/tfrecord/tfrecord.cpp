// vireo.quillon.datasets.tfrecord: detection datasets stored as TFRecord files of
// tf.train.Example records (image, image_name, width, height, objects, bboxes).
//
// This file is the module's surface: its imports and classes. The method bodies live in
// description.hpp (construction, description checks, listing), record.hpp and instance.hpp
// (one sample) and iterators.hpp.
#include <pykit.hpp>

#include "description.hpp"
#include "instance.hpp"
#include "iterators.hpp"
#include "state.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kYamlText = R"doc(Detection dataset read from TFRecord files, configured by a YAML description file.

The description:

    type: tfrecord
    classes: ['class 1', 'class 2', ..., 'class n']
    train:
        path: /absolute/path/to/train/records     # folder of *.tfrecord files
        samples: 1200                             # optional
    validation:
        path: /absolute/path/to/validation/records
        samples: 300

Without ``type`` the older layout is accepted: the folders are given under ``images``.
Each record is a ``tf.train.Example`` with the features ``image`` (JPEG bytes),
``image_name`` (bytes), ``width`` and ``height`` (int64), ``objects`` (int64, one class
index per object) and ``bboxes`` (float, x-centre, y-centre, width, height per object,
divided by the image size). The description is checked and the record files listed once the
constructor has returned.
)doc";

const char* const kYamlRaises = R"doc(    TypeError: ``info_file``, ``shape`` or ``aug_cfg`` is not exactly a str, list or dict.
    ValueError: the description cannot be used, a folder holds no record file, or a listed
        file is not a TFRecord file.
    AttributeError: the ``train`` or ``validation`` section is missing.
)doc";

const char* const kDictText = R"doc(Detection dataset read from TFRecord files, configured by a description dictionary.

Takes the same description as ``TFRecordDatasetYaml`` already loaded; the dictionary is kept
in ``info_dataset`` and gains the key ``type`` with the value ``tfrecord``. Its iterator
builders count a split whose sample count is 0.
)doc";

const char* const kDictRaises = R"doc(    TypeError: ``info_dataset``, ``shape`` or ``aug_cfg`` is not exactly a dict, list or dict.
    AttributeError: ``info_dataset`` is None.
    ValueError: the description cannot be used, or a folder holds no record file.
)doc";

const char* const kInitYamlText = R"doc(Runs the base constructor, then resets the folder attributes.
)doc";

const char* const kInitDictText = R"doc(Keeps the description, marks it ``type: tfrecord`` and runs the file variant's constructor.
)doc";

const char* const kFileArg = "info_file (str): path of the description file.";
const char* const kDictionaryArg =
    "info_dataset (dict): the dataset description; the caller's dictionary gains ``type``.";

const char* const kValidateContentDoc = R"doc(Checks the description; stores its classes, sample counts and record folders.

Args:
    info_dataset (dict): the dataset description.

Returns:
    None.

Raises:
    ValueError: a sample count is 0, there are no classes, the type is not exactly
        ``tfrecord``, or no folder is given under the layout's key.
    AttributeError: the ``train`` or ``validation`` section is missing or not a mapping.
    TypeError: ``classes`` is missing.
)doc";

const char* const kLoadStorageDoc = R"doc(Lists the "*.tfrecord" files of both record folders.

A folder that does not exist is left as its path, with a printed line; the iterator builder
then refuses it.

Returns:
    None.

Raises:
    ValueError: a folder holds no record file, or a listed file is not a TFRecord file (its
        first record header is cut short or fails its checksum).
)doc";

const char* const kLoadInstanceDoc = R"doc(Decodes one serialized example into a sample.

Training images are decoded with the network's channel count (``shape[2]`` when 1 or 3) and
fitted to ``shape`` (letterbox or plain resize); validation images keep the JPEG's size and
channels. A record without objects has the single box row 0, 0, 0, 0, 0.

Args:
    data: one serialized ``tf.train.Example`` (bytes or a scalar string tensor).
    training (bool): decode a training sample rather than a validation one.

Returns:
    ``(image, boxes)`` when training, else ``(image, boxes, name)``: image uint8
    height x width x channels; boxes float32 N x 5 (x_min, y_min, x_max, y_max, label) in
    pixels of the fitted image (training) or divided by the stored size (validation), label =
    class + ``class_offset``; name the record's ``image_name`` tensor.

Raises:
    ValueError: the bytes are not a valid ``tf.train.Example``; ``objects`` and ``bboxes`` do
        not line up; a box value is not finite; a class id is not an index of the
        description's classes (the message names the record).
    tf.errors.InvalidArgumentError: a required feature is missing, or the image cannot be
        decoded.
)doc";

const char* const kBaseIteratorDoc = R"doc(The serialized examples of every record file in ``storage``.

Args:
    storage (list): record file paths, read in parallel.
    shuffle (bool): shuffle through a buffer of 200 records, anew at every pass.

Returns:
    A ``tf.data.Dataset`` of scalar string tensors.

Raises:
    TypeError: ``storage`` is not exactly a list (or None), as when its folder did not exist.
)doc";

const char* const kValIteratorDoc = R"doc(Batched validation samples of the records.

A sample count of 0 is replaced by the number of samples, counted with one pass.

Args:
    batch_size (int): samples per batch.

Returns:
    A ``tf.data.Dataset`` of batched ``(image, boxes, name)``.
)doc";

const char* const kTrainIteratorDoc = R"doc(Shuffled training batches of the records.

A sample count of 0 is replaced by the number of samples, counted with one pass. The batches
are those of the base class, with tf.data's autotuning off: the batch loads run one per core.

Args:
    batch_size (int): samples per batch.
    prefetch (int): batches prepared ahead.

Returns:
    A ``tf.data.Dataset`` of ``(images, (boxes,))``.
)doc";

void declare_yaml_class(py::module_& m, const pykit::Context<tfrecord::State>& context,
                        const datasets::Annotations& t) {
    tfrecord::State& s = *context;
    py::object none = py::none(), yes = py::bool_(true);
    py::object cls =
        pykit::ClassBuilder(tfrecord::kModule, "TFRecordDatasetYaml", py::make_tuple(s.BaseDetectionDataset),
                            context.object)
            .doc(datasets::constructor_doc(kYamlText, kFileArg, kYamlRaises).c_str())
            .def("__init__", datasets::constructor_params(t, "info_file", t.str_t), &tfrecord::init_from_file,
                 datasets::constructor_doc(kInitYamlText, kFileArg, datasets::kFileInitRaises).c_str())
            .def("validate_info_file_content", {arg("self"), arg("info_dataset").ann(t.dict_t).def(none)},
                 &tfrecord::check_description, kValidateContentDoc)
            .def("load_storage", {arg("self")}, &tfrecord::load_storage, kLoadStorageDoc)
            .def("load_instance", {arg("self"), arg("data").ann(t.tensor_t), arg("training").ann(t.bool_t).def(yes)},
                 &tfrecord::load_instance, kLoadInstanceDoc)
            .def("build_and_load_base_iterator",
                 {arg("self"), arg("storage").ann(t.list_t), arg("shuffle").ann(t.bool_t).def(yes)},
                 &tfrecord::base_iterator, kBaseIteratorDoc)
            .build(m, s.TFRecordDatasetYaml);
    datasets::publish_constructor_signature(cls);
}

void declare_dict_class(py::module_& m, const pykit::Context<tfrecord::State>& context,
                        const datasets::Annotations& t) {
    tfrecord::State& s = *context;
    py::object cls =
        pykit::ClassBuilder(tfrecord::kModule, "TFRecordDataset", py::make_tuple(s.TFRecordDatasetYaml),
                            context.object)
            .doc(datasets::constructor_doc(kDictText, kDictionaryArg, kDictRaises).c_str())
            .def("__init__", datasets::constructor_params(t, "info_dataset", t.dict_t), &tfrecord::init_from_dictionary,
                 datasets::constructor_doc(kInitDictText, kDictionaryArg, datasets::kDictionaryInitRaises)
                     .c_str())
            .def("validate_info_file", {arg("self"), arg("info_file").ann(t.str_t)}, &datasets::stored_description,
                 datasets::kStoredDescriptionDoc)
            .def("build_val_iterator", {arg("self"), arg("batch_size").ann(t.int_t).def(py::int_(1))},
                 &tfrecord::val_iterator, kValIteratorDoc)
            .def("build_train_iterator",
                 {arg("self"), arg("batch_size").ann(t.int_t), arg("prefetch").ann(t.int_t).def(py::int_(10))},
                 &tfrecord::train_iterator, kTrainIteratorDoc)
            .build(m, s.TFRecordDataset);
    datasets::publish_constructor_signature(cls);
}

}  // namespace

PYBIND11_MODULE(tfrecord, m) {
    auto context = pykit::make_context<tfrecord::State>();
    tfrecord::State& s = *context;
    s.letterbox = pykit::import_name(m, "vireo.quillon.datasets.utils", "letterbox");
    s.xywhn2xyxy = pykit::import_name(m, "vireo.quillon.datasets.utils", "xywhn2xyxy");
    s.BaseDetectionDataset = pykit::import_name(m, "vireo.quillon.datasets.core", "BaseDetectionDataset");
    s.tf = pykit::import_module(m, "tensorflow", "tf");
    auto path = datasets::import_names(m, "os.path", {"join", "exists"});
    s.join = path[0];
    s.exists = path[1];
    s.np = pykit::import_module(m, "numpy", "np");
    s.glob = pykit::import_module(m, "glob", "glob");
    s.cv2 = pykit::import_module(m, "cv2", "cv2");

    const datasets::Annotations types = datasets::annotations(s.tf);
    declare_yaml_class(m, context, types);
    declare_dict_class(m, context, types);
}
