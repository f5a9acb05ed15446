// vireo.quillon.datasets.segmentation: semantic-segmentation datasets of images with object
// outlines (one JSON file per image, or one COCO-style JSON file) served as tf.data pipelines.
#include <pykit.hpp>

#include "common.hpp"
#include "dataset.hpp"
#include "dataset_coco.hpp"
#include "dataset_yaml.hpp"

namespace py = pybind11;

PYBIND11_MODULE(segmentation, m) {
    m.doc() = "Semantic-segmentation datasets: images with object outlines turned into class masks.";
    auto im = std::make_shared<seg::Imports>();

    // The imports, in this order, bound in the module as a Python module would bind them.
    py::object path = py::module_::import("os.path");
    im->exists = path.attr("exists");
    im->join = path.attr("join");
    im->basename = path.attr("basename");
    im->interp1d = pykit::import_from("scipy.interpolate", "interp1d");
    py::object utils = py::module_::import("vireo.quillon.datasets.utils");
    im->letterbox = utils.attr("letterbox");
    im->mask_padding = utils.attr("mask_padding");
    im->A = py::module_::import("albumentations");
    im->tf = py::module_::import("tensorflow");
    py::object glob = py::module_::import("glob");
    im->glob = glob.attr("glob");
    im->glob_escape = glob.attr("escape");
    im->Image = pykit::import_from("PIL", "Image");
    im->np = py::module_::import("numpy");
    im->json = py::module_::import("json");
    im->cv2 = py::module_::import("cv2");

    const std::pair<const char*, py::object*> names[] = {
        {"exists", &im->exists}, {"join", &im->join},   {"basename", &im->basename},
        {"interp1d", &im->interp1d}, {"letterbox", &im->letterbox}, {"mask_padding", &im->mask_padding},
        {"A", &im->A},           {"tf", &im->tf},       {"glob", &im->glob},
        {"Image", &im->Image},   {"np", &im->np},       {"json", &im->json},
        {"cv2", &im->cv2},
    };
    for (const auto& [name, value] : names) m.attr(name) = *value;

    im->open = py::module_::import("builtins").attr("open");
    im->np_uint8 = im->np.attr("uint8");
    im->np_uint16 = im->np.attr("uint16");
    im->np_int32 = im->np.attr("int32");
    im->np_float32 = im->np.attr("float32");
    im->tf_uint8 = im->tf.attr("uint8");
    im->tf_int32 = im->tf.attr("int32");
    im->tf_float32 = im->tf.attr("float32");
    im->tf_string = im->tf.attr("string");

    const seg::ImportsPtr shared = im;
    seg::add_dataset(m, shared);
    seg::add_dataset_yaml(m, shared);
    seg::add_dataset_coco(m, shared);
}
