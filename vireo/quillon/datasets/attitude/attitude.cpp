// vireo.quillon.datasets.attitude: head-attitude datasets (pitch, yaw, roll per face image),
// alone or with face boxes, from MATLAB or JSON annotations, served as tf.data iterators.
#include "base.hpp"
#include "common.hpp"
#include "detect.hpp"
#include "json_crop.hpp"
#include "yaml_config.hpp"

namespace py = pybind11;

PYBIND11_MODULE(attitude, m) {
    using namespace attitude;
    auto im = std::make_shared<Imports>();
    // Imports, in load order.
    py::object os_path = pykit::from_import("os.path", {"exists", "join", "basename", "splitext"});
    im->exists = os_path.attr("exists");
    im->join = os_path.attr("join");
    im->basename = os_path.attr("basename");
    im->splitext = os_path.attr("splitext");
    im->xywhn2xyxy = pykit::import_from("vireo.quillon.datasets.utils", "xywhn2xyxy");
    py::object pil = pykit::from_import("PIL", {"Image", "ImageFilter"});
    im->Image = pil.attr("Image");
    im->ImageFilter = pil.attr("ImageFilter");
    im->tf = py::module_::import("tensorflow");
    im->sio = py::module_::import("scipy.io");
    im->np = py::module_::import("numpy");
    im->json = py::module_::import("json");
    im->cv2 = py::module_::import("cv2");

    py::object builtins = py::module_::import("builtins");
    im->open = builtins.attr("open");
    im->str_t = builtins.attr("str");
    im->list_t = builtins.attr("list");
    im->int_t = builtins.attr("int");
    im->bool_t = builtins.attr("bool");
    im->tensor_t = im->tf.attr("Tensor");

    const std::string module = "vireo.quillon.datasets.attitude";
    auto cls = std::make_shared<Classes>();
    build_attitude_dataset(m, module, im, cls);
    build_yaml_datasets(m, module, im, cls);
    build_detect_dataset(m, module, im, cls);
    build_json_dataset(m, module, im, cls);
    build_detect_yaml_dataset(m, module, im, cls);
    build_json_yaml_dataset(m, module, im, cls);
}
