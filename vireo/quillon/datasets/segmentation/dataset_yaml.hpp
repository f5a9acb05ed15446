// SegmentationDatasetYaml: SegmentationDataset configured from a YAML description file.
#pragma once

#include "common.hpp"

namespace seg {

inline const char* const kYamlDoc =
    "Semantic-segmentation dataset described by a YAML file:\n"
    "\n"
    "    classes: ['person', 'car', ...]\n"
    "    train:\n"
    "        images: /path/to/train/images\n"
    "        annotations: /path/to/train/annotations\n"
    "    validation:\n"
    "        images: /path/to/validation/images\n"
    "        annotations: /path/to/validation/annotations\n"
    "\n"
    "The annotation folders hold one JSON file per image (see ``SegmentationDataset``).\n"
    "\n"
    "Args:\n"
    "    info_file (str): path of the description file.\n"
    "    shape (list): height, width and channels of the network input.\n"
    "    letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.\n"
    "    num_points (int): number of points every outline is resampled to.\n"
    "    add_bkg_class (bool): sets ``class_offset`` to 1 (stored for callers).\n"
    "    tasks (list): tasks to serve, among \"segment\" and \"boxes\".\n";

// section.get(key, None), with a clear error when the section is not a mapping.
inline py::object section_get(const py::object& section, const char* key, const std::string& name) {
    if (!PyDict_Check(section.ptr()))
        pykit::raise(PyExc_ValueError, "``" + name + "`` section of the configuration file is not a mapping");
    return section.attr("get")(key, py::none());
}

inline void add_dataset_yaml(py::module_& m, const ImportsPtr& im) {
    using pykit::arg;
    py::object builtins = py::module_::import("builtins");
    py::object str_t = builtins.attr("str"), list_t = builtins.attr("list");
    py::object int_t = builtins.attr("int"), bool_t = builtins.attr("bool");
    py::object none = py::none();
    py::object base = m.attr("SegmentationDataset");
    auto cls = pykit::class_ref();

    pykit::ClassBuilder(kModule, "SegmentationDatasetYaml", py::make_tuple(base))
        .doc(kYamlDoc)
        .def("__init__",
             {arg("self"), arg("info_file").ann(str_t).def(none), arg("shape").ann(list_t).def(none),
              arg("letter_box").ann(bool_t).def(py::bool_(true)), arg("num_points").ann(int_t).def(py::int_(300)),
              arg("add_bkg_class").ann(bool_t).def(py::bool_(true)), arg("tasks").ann(list_t).def(none)},
             [im, cls](pykit::Args& a) {
                 py::object self = a[0], info_file = a[1];
                 py::object yaml = py::module_::import("yaml");
                 py::object info_dataset = pykit::closing(im->open(info_file), yaml.attr("full_load"));
                 if (!PyDict_Check(info_dataset.ptr()))
                     pykit::raise(PyExc_ValueError,
                                  pykit::format("Configuration file {} does not hold a mapping", info_file));

                 py::object classes = info_dataset.attr("get")("classes", py::none());
                 if (classes.is_none() || pykit::len(classes) == 0)
                     pykit::raise_args(PyExc_ValueError, py::make_tuple("Incorrect values for class was detected: ", classes));

                 py::object training = info_dataset.attr("get")("train", py::none());
                 py::object validation = info_dataset.attr("get")("validation", py::none());
                 if (training.is_none())
                     pykit::raise(PyExc_ValueError, "``train`` section is missing on the configuration file");
                 if (validation.is_none())
                     pykit::raise(PyExc_ValueError, "``validation`` section is missing on the configuration file");

                 py::object train_images = section_get(training, "images", "train");
                 py::object train_ann = section_get(training, "annotations", "train");
                 if (train_images.is_none())
                     pykit::raise(PyExc_ValueError, "``images`` section is missing on the ``train`` section");
                 if (train_ann.is_none())
                     pykit::raise(PyExc_ValueError, "``annotations`` section is missing on the ``train`` section");

                 py::object val_images = section_get(validation, "images", "validation");
                 py::object val_ann = section_get(validation, "annotations", "validation");
                 if (val_images.is_none())
                     pykit::raise(PyExc_ValueError, "``images`` section is missing on the ``validation`` section");
                 if (val_ann.is_none())
                     pykit::raise(PyExc_ValueError, "``annotations`` section is missing on the ``validation`` section");

                 const std::pair<const py::object*, const char*> folders[] = {
                     {&train_images, "Images folder provided in ``train`` section does not exist in the current location: {}"},
                     {&val_images, "Images folder provided in ``validation`` section does not exist in the current location: {}"},
                     {&train_ann, "Annotations folder provided in ``train`` section does not exist in the current location: {}"},
                     {&val_ann, "Annotations folder provided in ``validation`` section does not exist in the current location: {}"},
                 };
                 for (const auto& [folder, message] : folders)
                     if (!pykit::truthy(im->exists(*folder))) pykit::raise(PyExc_FileNotFoundError, pykit::format(message, *folder));

                 pykit::super(*cls, self)
                     .attr("__init__")(py::arg("shape") = a[2], py::arg("train_images") = train_images,
                                       py::arg("train_annotations") = train_ann, py::arg("val_images") = val_images,
                                       py::arg("val_annotations") = val_ann, py::arg("labels") = classes,
                                       py::arg("tasks") = a[6], py::arg("num_points") = a[4],
                                       py::arg("letter_box") = a[3], py::arg("add_bkg_class") = a[5]);
             })
        .build(m, cls);
}

}  // namespace seg
