// vireo.quillon.datasets.segmentation: semantic-segmentation datasets of images with object
// outlines (one JSON file per image, or one COCO-style JSON file) served as tf.data pipelines.
//
// This file is the module's surface: its imports, its classes and their methods, each bound to
// a named function of the header for its concern.
#include <pykit.hpp>

#include "augmentation.hpp"
#include "dataset.hpp"
#include "dataset_coco.hpp"
#include "dataset_yaml.hpp"
#include "docs.hpp"
#include "iterators.hpp"
#include "masks.hpp"
#include "state.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

// The module's imports, in this order, each bound in the module as an import statement binds it.
void import_names(py::module_& m, seg::State& s) {
    s.exists = pykit::import_name(m, "os.path", "exists");
    s.join = pykit::import_name(m, "os.path", "join");
    s.basename = pykit::import_name(m, "os.path", "basename");
    s.interp1d = pykit::import_name(m, "scipy.interpolate", "interp1d");
    s.letterbox = pykit::import_name(m, "vireo.quillon.datasets.utils", "letterbox");
    s.mask_padding = pykit::import_name(m, "vireo.quillon.datasets.utils", "mask_padding");
    s.A = pykit::import_module(m, "albumentations", "A");
    s.tf = pykit::import_module(m, "tensorflow", "tf");
    s.glob = pykit::import_name(m, "glob", "glob");
    s.Image = pykit::import_name(m, "PIL", "Image");
    s.np = pykit::import_module(m, "numpy", "np");
    s.json = pykit::import_module(m, "json", "json");
    s.cv2 = pykit::import_module(m, "cv2", "cv2");
}

// Names the method bodies use, looked up once (no import runs here: all are loaded above).
void look_up_names(seg::State& s) {
    s.open = pykit::builtin("open");
    s.glob_escape = py::module_::import("glob").attr("escape");
    s.np_uint8 = s.np.attr("uint8");
    s.np_uint16 = s.np.attr("uint16");
    s.np_int32 = s.np.attr("int32");
    s.np_float32 = s.np.attr("float32");
    s.tf_uint8 = s.tf.attr("uint8");
    s.tf_int32 = s.tf.attr("int32");
    s.tf_float32 = s.tf.attr("float32");
    s.tf_string = s.tf.attr("string");
}

// One of the iterators' per-element steps, named as a function of this module.
template <class Body>
py::object step(const char* name, std::vector<pykit::Param> params, Body body) {
    py::object fn = pykit::function(name, std::move(params), body);
    pykit::set_names(fn, seg::kModule, name);
    return fn;
}

void make_steps(seg::State& s) {
    s.read_train_step = step("read_train_element", {arg("self"), arg("x")}, &seg::read_train_element);
    s.read_val_step = step("read_val_element", {arg("self"), arg("x")}, &seg::read_val_element);
    s.mask_train_step = step("mask_train_element", {arg("self"), arg("image"), arg("outlines"), arg("classes")},
                             &seg::mask_train_element);
    s.mask_val_step = step("mask_val_element",
                           {arg("self"), arg("image"), arg("outlines"), arg("classes"), arg("path")},
                           &seg::mask_val_element);
}

}  // namespace

PYBIND11_MODULE(segmentation, m) {
    m.doc() = seg::docs::kModule;
    auto context = pykit::make_context<seg::State>();
    seg::State& s = *context;
    import_names(m, s);
    look_up_names(s);
    make_steps(s);

    py::object str_t = pykit::builtin("str"), list_t = pykit::builtin("list");
    py::object int_t = pykit::builtin("int"), bool_t = pykit::builtin("bool");
    py::object ndarray = s.np.attr("ndarray"), tensor = s.tf.attr("Tensor");
    py::object tf_function = s.tf.attr("function");
    py::object none = py::none(), yes = py::bool_(true), ten = py::int_(10), points = py::int_(300);
    namespace docs = seg::docs;

    pykit::ClassBuilder(seg::kModule, "SegmentationDataset", py::tuple(), context.object)
        .doc(docs::kDataset)
        .def("__init__",
             {arg("self"), arg("shape").ann(list_t).def(none), arg("train_images").ann(str_t).def(none),
              arg("val_images").ann(str_t).def(none), arg("train_annotations").ann(str_t).def(none),
              arg("val_annotations").ann(str_t).def(none), arg("labels").ann(list_t).def(none),
              arg("tasks").ann(list_t).def(none), arg("num_points").ann(int_t).def(points),
              arg("letter_box").ann(bool_t).def(yes), arg("add_bkg_class").ann(bool_t).def(yes)},
             &seg::construct, docs::kInit)
        .def("get_num_segmentation_classes", {arg("self")}, &seg::num_segmentation_classes, docs::kNumClasses)
        .def("get_num_train_samples", {arg("self")}, &seg::num_train_samples, docs::kNumTrainSamples)
        .def("validate_tasks", {arg("self"), arg("tasks").ann(list_t).def(none)}, &seg::validate_tasks,
             docs::kValidateTasks)
        .def("validate_path", {arg("self"), arg("path").ann(str_t).def(none)}, &seg::validate_path, docs::kValidatePath)
        .def("apply_augmentation", {arg("self"), arg("image").ann(ndarray), arg("mask").ann(ndarray)}, &seg::augment,
             docs::kApplyAugmentation)
        .def_wrapped(tf_function, "tf_apply_augmentation", {arg("self"), arg("image").ann(tensor), arg("mask").ann(tensor)},
                     &seg::graph_augment, docs::kTfApplyAugmentation)
        .def("build_train_iterator", {arg("self"), arg("batch_size").ann(int_t).def(ten), arg("prefetch").ann(int_t).def(ten)},
             &seg::train_iterator, docs::kBuildTrainIterator)
        .def_wrapped(tf_function, "build_gt_mask", {arg("self"), arg("data")}, &seg::graph_mask, docs::kBuildGtMask)
        .def("_build_gt_mask", {arg("self"), arg("masks"), arg("classes")}, &seg::paint_mask, docs::kPaintMask)
        .def_wrapped(tf_function, "read_data", {arg("self"), arg("annotation_file"), arg("train").ann(bool_t).def(yes)},
                     &seg::graph_read, docs::kReadData)
        .def("_read_data", {arg("self"), arg("annotation_file"), arg("train").ann(bool_t).def(yes)}, &seg::read_sample,
             docs::kReadSample)
        .def("build_val_iterator", {arg("self"), arg("prefetch").ann(int_t).def(ten)}, &seg::val_iterator,
             docs::kBuildValIterator)
        .build(m, s.SegmentationDataset);

    pykit::ClassBuilder(seg::kModule, "SegmentationDatasetYaml", py::make_tuple(s.SegmentationDataset), context.object)
        .doc(docs::kYaml)
        .def("__init__",
             {arg("self"), arg("info_file").ann(str_t).def(none), arg("shape").ann(list_t).def(none),
              arg("letter_box").ann(bool_t).def(yes), arg("num_points").ann(int_t).def(points),
              arg("add_bkg_class").ann(bool_t).def(yes), arg("tasks").ann(list_t).def(none)},
             &seg::construct_yaml, docs::kYamlInit)
        .build(m, s.SegmentationDatasetYaml);

    pykit::ClassBuilder(seg::kModule, "SegmentationDatasetJsonCOCO", py::tuple(), context.object)
        .doc(docs::kCoco)
        .def("__init__",
             {arg("self"), arg("train_json_file").ann(str_t).def(none), arg("val_json_file").ann(str_t).def(none),
              arg("train_images").ann(str_t).def(none), arg("val_images").ann(str_t).def(none),
              arg("shape").ann(list_t).def(none), arg("letter_box").ann(bool_t).def(yes),
              arg("num_points").ann(int_t).def(points), arg("add_bkg_class").ann(bool_t).def(yes),
              arg("tasks").ann(list_t).def(none)},
             &seg::construct_coco, docs::kCocoInit)
        .def("get_num_train_samples", {arg("self")}, &seg::coco_num_train_samples, docs::kCocoNumTrainSamples)
        .def("get_num_segmentation_classes", {arg("self")}, &seg::num_segmentation_classes, docs::kCocoNumClasses)
        .def_wrapped(tf_function, "read_data", {arg("self"), arg("image_id").ann(tensor)}, &seg::coco_graph_read,
                     docs::kCocoReadData)
        .def("_read_data", {arg("self"), arg("image_id")}, &seg::read_coco_sample, docs::kCocoReadSample)
        .def_wrapped(tf_function, "build_gt_mask", {arg("self"), arg("data")}, &seg::graph_mask, docs::kBuildGtMask)
        .def("_build_gt_mask", {arg("self"), arg("masks"), arg("classes")}, &seg::paint_mask, docs::kPaintMask)
        .def("apply_augmentation", {arg("self"), arg("image").ann(ndarray), arg("mask").ann(ndarray)}, &seg::augment,
             docs::kApplyAugmentation)
        .def_wrapped(tf_function, "tf_apply_augmentation", {arg("self"), arg("image").ann(tensor), arg("mask").ann(tensor)},
                     &seg::graph_augment, docs::kTfApplyAugmentation)
        .def("build_train_iterator", {arg("self"), arg("batch_size").ann(int_t).def(ten), arg("prefetch").ann(int_t).def(ten)},
             &seg::coco_train_iterator, docs::kBuildTrainIterator)
        .def("build_val_iterator", {arg("self"), arg("batch_size").ann(int_t).def(ten), arg("prefetch").ann(int_t).def(ten)},
             &seg::no_val_iterator, docs::kCocoBuildValIterator)
        .build(m);
}
