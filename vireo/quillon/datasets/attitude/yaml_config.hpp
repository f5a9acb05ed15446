// The three attitude datasets configured from a YAML description file.
#pragma once

#include "common.hpp"

namespace attitude {

// The folders (and classes) a description names, after every check, in check order.
struct Description {
    py::object classes, train_images, train_annotations, val_images, val_annotations;
};

// Reads and checks a description file. The messages are read from AttitudeDatasetYaml at call
// time, so changing its class attributes changes what every YAML class reports.
inline Description read_description(const Imports& im, const Classes& cls, const py::object& info_file,
                                    bool needs_classes) {
    py::object yaml = py::module_::import("yaml");
    if (!pykit::truthy(im.exists(info_file)))
        pykit::raise(PyExc_FileNotFoundError,
                     pykit::format("Description file for the current dataset does not exist at: {}", info_file));
    py::object description = pykit::closing(im.open(info_file), yaml.attr("full_load"));

    Description d;
    if (needs_classes) {
        d.classes = description.attr("get")("classes", py::list());
        if (pykit::len(d.classes) == 0)
            pykit::raise(PyExc_ValueError, "Invalid number of classes. The dataset should contain at least one class");
    }
    py::object train = description.attr("get")("train", py::dict());
    py::object validation = description.attr("get")("validation", py::dict());
    d.train_images = train.attr("get")("images", py::none());
    d.train_annotations = train.attr("get")("annotations", py::none());
    d.val_images = validation.attr("get")("images", py::none());
    d.val_annotations = validation.attr("get")("annotations", py::none());

    const py::object& messages = *cls.yaml;
    const std::pair<const py::object*, const char*> required[] = {
        {&d.train_images, "train_msg_images"},
        {&d.train_annotations, "train_msg_ann"},
        {&d.val_images, "val_msg_images"},
        {&d.val_annotations, "val_msg_ann"},
    };
    for (const auto& [value, message] : required)
        if (value->is_none()) pykit::raise_args(PyExc_ValueError, py::make_tuple(messages.attr(message)));
    for (const auto& [folder, unused] : required) {
        (void)unused;
        if (!pykit::truthy(im.exists(*folder))) {
            py::object location_msg = messages.attr("location_msg");
            pykit::raise_args(PyExc_FileNotFoundError, py::make_tuple(location_msg.attr("format")(*folder)));
        }
    }
    return d;
}

inline void build_yaml_datasets(py::module_& m, const std::string& module, const ImportsPtr& im,
                                const std::shared_ptr<Classes>& cls) {
    pykit::ClassBuilder(module, "AttitudeDatasetYaml", py::make_tuple(*cls->base))
        .attr("train_msg_images", py::str("``train`` section does not contain the ``images`` key"))
        .attr("train_msg_ann", py::str("``train`` section does not contain the ``annotations`` key"))
        .attr("val_msg_images", py::str("``validation`` section does not contain the ``images`` key"))
        .attr("val_msg_ann", py::str("``validation`` section does not contain the ``annotations`` key"))
        .attr("location_msg", py::str("Location provided for training images does not exist in the given location:{}"))
        .def("__init__",
             {arg("self"), arg("shape").ann(im->list_t).def(py::none()), arg("info_file").ann(im->str_t).def(py::none()),
              arg("num_bins").ann(im->int_t).def(py::int_(3))},
             [im, cls](py::object self, py::object shape, py::object info_file, py::object num_bins) {
                 Description d = read_description(*im, *cls, info_file, false);
                 pykit::super(*cls->yaml, self)
                     .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = d.train_images,
                                       py::arg("train_annotations") = d.train_annotations,
                                       py::arg("val_images") = d.val_images,
                                       py::arg("val_annotations") = d.val_annotations, py::arg("num_bins") = num_bins);
             })
        .def("get_num_train_samples", {arg("self")},
             [](py::object self) { return py::int_(pykit::len(self.attr("train_storage"))); })
        .build(m, cls->yaml);
}

inline void build_detect_yaml_dataset(py::module_& m, const std::string& module, const ImportsPtr& im,
                                      const std::shared_ptr<Classes>& cls) {
    pykit::ClassBuilder(module, "AttitudeAndDetectDatasetYaml", py::make_tuple(*cls->detect))
        .def("__init__",
             {arg("self"), arg("shape").ann(im->list_t).def(py::none()), arg("info_file").ann(im->str_t).def(py::none()),
              arg("add_bkg_class").ann(im->bool_t).def(py::bool_(true))},
             [im, cls](py::object self, py::object shape, py::object info_file, py::object add_bkg_class) {
                 Description d = read_description(*im, *cls, info_file, true);
                 pykit::super(*cls->detect_yaml, self)
                     .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = d.train_images,
                                       py::arg("train_annotations") = d.train_annotations,
                                       py::arg("val_images") = d.val_images,
                                       py::arg("val_annotations") = d.val_annotations, py::arg("classes") = d.classes,
                                       py::arg("add_bkg_class") = add_bkg_class);
             })
        .build(m, cls->detect_yaml);
}

inline void build_json_yaml_dataset(py::module_& m, const std::string& module, const ImportsPtr& im,
                                    const std::shared_ptr<Classes>& cls) {
    pykit::ClassBuilder(module, "AttitudeDatasetJsonYaml", py::make_tuple(*cls->json))
        .def("__init__",
             {arg("self"), arg("shape").ann(im->list_t).def(py::none()), arg("info_file").ann(im->str_t).def(py::none())},
             [im, cls](py::object self, py::object shape, py::object info_file) {
                 // The class list must not be empty; it is not used further.
                 Description d = read_description(*im, *cls, info_file, true);
                 pykit::super(*cls->json_yaml, self)
                     .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = d.train_images,
                                       py::arg("train_annotations") = d.train_annotations,
                                       py::arg("val_images") = d.val_images,
                                       py::arg("val_annotations") = d.val_annotations);
             })
        .build(m, cls->json_yaml);
}

}  // namespace attitude
