// vireo.quillon.datasets.tools.scanner: the per-sample work of the dataset check, on worker
// threads. Each scan takes the samples as a dataset lists them and returns what it found.
#include <pykit.hpp>

#include "scans.hpp"
#include "state.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kModule = "vireo.quillon.datasets.tools.scanner";

const char* const kResultDoc =
    "\n"
    "Returns a dict: ``samples`` (count), ``objects`` (boxes, outlines or faces read), ``empty``\n"
    "(samples without objects), ``classes`` (objects per class id) and ``findings``: tuples\n"
    "``(sample, severity, kind, file, where, message)`` with ``sample`` the index of the sample\n"
    "(None for a finding about a whole file), ``severity`` 'error' (the sample fails to load or\n"
    "would feed non-finite values to training), 'warning' (it loads, but something is dropped,\n"
    "clipped or suspect) or 'note', ``where`` a line, record or JSON path (or None).\n"
    "\n"
    "``decode`` decodes every image with the dataset's decoder instead of reading headers;\n"
    "``workers`` threads do the work (0: one per core); ``progress`` (a callable, or None) is\n"
    "called with the number of units done since its last call.\n";

const std::string kDarknetDoc = std::string(
    "Checks Darknet samples: ``images[i]`` with its label file ``annotations[i]`` (the pairs\n"
    "DarknetDataset lists), against ``num_classes`` classes. Progress unit: one sample.\n") + kResultDoc;

const std::string kTfrecordDoc = std::string(
    "Checks every record of the TFRecord ``files``: framing and checksums, the\n"
    "tf.train.Example layout, classes against ``num_classes``, boxes and images. Progress\n"
    "unit: one byte.\n") + kResultDoc;

const std::string kSegmentationDoc = std::string(
    "Checks per-image segmentation JSON files (``annotations``) and the images they name in\n"
    "``images_folder``, against ``num_classes`` labels. Progress unit: one annotation read, then\n"
    "one image checked (twice the sample count in all). The result also holds ``images``: the\n"
    "image path of each sample, or None.\n") + kResultDoc;

const std::string kCocoDoc = std::string(
    "Checks a COCO-style segmentation file: ``content`` is its loaded JSON object, ``json_file``\n"
    "its path (for messages), ``images_folder`` the folder of its images. The samples are the\n"
    "entries of ``images``. Progress unit: one image. The result also holds ``images``.\n") + kResultDoc;

const std::string kAttitudeDoc = std::string(
    "Checks head-pose samples: ``images[i]`` with its annotation ``annotations[i]``. ``layout``:\n"
    "'mat' (MATLAB Pose_Para in radians), 'detect' (JSON boxes and pitch/yaw/roll objects, box\n"
    "classes against ``num_classes``) or 'crop' (JSON boxes and angle triples, first face\n"
    "cropped). Angles beyond +-99 degrees are warnings. Progress unit: one sample.\n") + kResultDoc;

}  // namespace

PYBIND11_MODULE(scanner, m) {
    m.doc() = "Native, parallel per-sample checks of the dataset check tool.";
    auto context = pykit::make_context<scanner::State>();
    scanner::State& s = *context;
    py::object image_module = pykit::from_import("PIL", {"Image", "ImageFile"});
    s.Image = image_module.attr("Image");
    s.ImageFile = image_module.attr("ImageFile");
    m.attr("Image") = s.Image;
    m.attr("ImageFile") = s.ImageFile;
    s.json = pykit::import_module(m, "json", "json");
    s.io = pykit::import_module(m, "io", "io");
    s.np = pykit::import_module(m, "numpy", "np");
    s.os_path = pykit::import_module(m, "os.path", "os_path");

    py::object list_t = py::module_::import("builtins").attr("list");
    py::object str_t = py::module_::import("builtins").attr("str");
    py::object dict_t = py::module_::import("builtins").attr("dict");
    const py::object no = py::bool_(false), zero = py::int_(0), none = py::none();
    auto publish = [&](const char* name, std::vector<pykit::Param> params, auto body, const std::string& doc) {
        py::object fn = pykit::function(name, std::move(params), body, doc.c_str(), {}, context.object);
        pykit::set_names(fn, kModule, name);
        m.attr(name) = fn;
    };

    publish("scan_darknet",
            {arg("images").ann(list_t), arg("annotations").ann(list_t), arg("num_classes"), arg("decode").def(no),
             arg("workers").def(zero), arg("progress").def(none)},
            &scanner::scan_darknet, kDarknetDoc);
    publish("scan_tfrecord",
            {arg("files").ann(list_t), arg("num_classes"), arg("decode").def(no), arg("workers").def(zero),
             arg("progress").def(none)},
            &scanner::scan_tfrecord, kTfrecordDoc);
    publish("scan_segmentation",
            {arg("annotations").ann(list_t), arg("images_folder").ann(str_t), arg("num_classes"), arg("decode").def(no),
             arg("workers").def(zero), arg("progress").def(none)},
            &scanner::scan_segmentation, kSegmentationDoc);
    publish("scan_coco",
            {arg("content").ann(dict_t), arg("json_file").ann(str_t), arg("images_folder").ann(str_t),
             arg("decode").def(no), arg("workers").def(zero), arg("progress").def(none)},
            &scanner::scan_coco, kCocoDoc);
    publish("scan_attitude",
            {arg("images").ann(list_t), arg("annotations").ann(list_t), arg("layout").ann(str_t), arg("num_classes"),
             arg("decode").def(no), arg("workers").def(zero), arg("progress").def(none)},
            &scanner::scan_attitude, kAttitudeDoc);
}
