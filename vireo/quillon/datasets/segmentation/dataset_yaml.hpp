// SegmentationDatasetYaml: SegmentationDataset configured from a YAML description file.
#pragma once

#include <string>
#include <utility>

#include "dataset.hpp"
#include "state.hpp"

namespace seg {

// `yaml.full_load(open(info_file))`, closing the file; the content must be a mapping.
inline py::dict read_description(const State& s, const py::object& info_file) {
    py::object yaml = py::module_::import("yaml");  // imported when a description is read
    py::object content = pykit::closing(s.open(info_file), yaml.attr("full_load"));
    if (!PyDict_Check(content.ptr()))
        pykit::raise(PyExc_ValueError, pykit::format("Configuration file {} does not hold a mapping", info_file));
    return content;
}

// section.get(key, None), with a clear error when the section is not a mapping.
inline py::object section_get(const py::object& section, const char* key, const std::string& name) {
    if (!PyDict_Check(section.ptr()))
        pykit::raise(PyExc_ValueError, "``" + name + "`` section of the configuration file is not a mapping");
    return section.attr("get")(key, py::none());
}

// The images and annotations folders of the ``train`` or ``validation`` section.
inline std::pair<py::object, py::object> section_folders(const py::object& section, const std::string& name) {
    py::object images = section_get(section, "images", name);
    py::object annotations = section_get(section, "annotations", name);
    if (images.is_none())
        pykit::raise(PyExc_ValueError, "``images`` section is missing on the ``" + name + "`` section");
    if (annotations.is_none())
        pykit::raise(PyExc_ValueError, "``annotations`` section is missing on the ``" + name + "`` section");
    return {images, annotations};
}

// The four folders must exist, tested in this order.
inline void check_folders(const State& s, const py::object& train_images, const py::object& val_images,
                          const py::object& train_ann, const py::object& val_ann) {
    const std::pair<const py::object*, const char*> folders[] = {
        {&train_images, "Images folder provided in ``train`` section does not exist in the current location: {}"},
        {&val_images, "Images folder provided in ``validation`` section does not exist in the current location: {}"},
        {&train_ann, "Annotations folder provided in ``train`` section does not exist in the current location: {}"},
        {&val_ann, "Annotations folder provided in ``validation`` section does not exist in the current location: {}"},
    };
    for (const auto& [folder, message] : folders) {
        refuse_null_byte(*folder, "Folder path");
        if (!pykit::truthy(s.exists(*folder))) pykit::raise(PyExc_FileNotFoundError, pykit::format(message, *folder));
    }
}

inline void construct_yaml(const State& s, const py::object& self, const py::object& info_file,
                           const py::object& shape, const py::object& letter_box, const py::object& num_points,
                           const py::object& add_bkg_class, const py::object& tasks) {
    py::dict info_dataset = read_description(s, info_file);
    py::object classes = info_dataset.attr("get")("classes", py::none());
    if (classes.is_none() || pykit::len(classes) == 0)
        pykit::raise_args(PyExc_ValueError, py::make_tuple("Incorrect values for class was detected: ", classes));

    py::object training = info_dataset.attr("get")("train", py::none());
    py::object validation = info_dataset.attr("get")("validation", py::none());
    if (training.is_none()) pykit::raise(PyExc_ValueError, "``train`` section is missing on the configuration file");
    if (validation.is_none())
        pykit::raise(PyExc_ValueError, "``validation`` section is missing on the configuration file");
    auto [train_images, train_ann] = section_folders(training, "train");
    auto [val_images, val_ann] = section_folders(validation, "validation");
    check_folders(s, train_images, val_images, train_ann, val_ann);

    pykit::super(s.SegmentationDatasetYaml, self)
        .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = train_images,
                          py::arg("train_annotations") = train_ann, py::arg("val_images") = val_images,
                          py::arg("val_annotations") = val_ann, py::arg("labels") = classes, py::arg("tasks") = tasks,
                          py::arg("num_points") = num_points, py::arg("letter_box") = letter_box,
                          py::arg("add_bkg_class") = add_bkg_class);
}

}  // namespace seg
