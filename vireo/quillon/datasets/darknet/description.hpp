// Constructing a Darknet dataset and checking its description: type, classes, and the image
// and annotation folders of the train and validation sections.
#pragma once

#include <pykit.hpp>

#include "common/description.hpp"
#include "state.hpp"

namespace darknet {
namespace py = pybind11;

// DarknetDatasetYaml.__init__: the base constructor with the first three arguments given by
// position, then the folder attributes reset (the base loads the description after
// construction, into these).
inline void init_from_file(const State& s, const py::object& self, const py::object& info_file,
                           const py::object& shape, const py::object& letter_box, const py::object& add_bkg_class,
                           const py::object& aug_cfg) {
    pykit::super(s.DarknetDatasetYaml, self)
        .attr("__init__")(info_file, shape, letter_box, py::arg("add_bkg_class") = add_bkg_class,
                          py::arg("aug_cfg") = aug_cfg);
    datasets::reset_folder_attributes(self);
}

// DarknetDataset.__init__
inline void init_from_dictionary(const State& s, const py::object& self, const py::object& info_dataset,
                                 const py::object& shape, const py::object& letter_box,
                                 const py::object& add_bkg_class, const py::object& aug_cfg) {
    datasets::init_from_description(s.DarknetDataset, self, info_dataset, "darknet", shape, letter_box, add_bkg_class,
                                    aug_cfg);
}

// `type` must be "darknet" in any letter case; the message repeats it as written.
inline void check_type(const py::object& info_dataset) {
    py::object ds_type = info_dataset.attr("get")("type");
    if (!pykit::equals(ds_type.attr("lower")(), py::str("darknet")))
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: Incompatible dataset type was found: {} is different than ``darknet``",
                                   ds_type));
}

// classes (with "background" first when class_offset > 0, in a new list) and _anchors.
inline void set_classes(const py::object& self, const py::object& info_dataset) {
    self.attr("classes") = info_dataset.attr("get")("classes", py::none());
    self.attr("_anchors") = info_dataset.attr("get")("anchors", py::none());
    if (pykit::holds(self.attr("class_offset"), py::int_(0), Py_GT))
        self.attr("classes") = pykit::list_of(py::str("background")) + self.attr("classes");
    if (pykit::len(self.attr("classes")) == 0)
        pykit::raise(PyExc_ValueError, "[ERROR]: Invalid dataset with no annotation classes was found");
}

// The two folders of one section, stored before they are checked.
inline void set_split_folders(const py::object& self, const py::object& section, const char* images_attr,
                              const char* annotations_attr, const char* message) {
    py::object images = section.is_none() ? py::none() : py::object(section.attr("get")("images"));
    py::object annotations = section.is_none() ? py::none() : py::object(section.attr("get")("annotations"));
    self.attr(images_attr) = images;
    self.attr(annotations_attr) = annotations;
    if (datasets::among(py::none(), images, annotations)) pykit::raise(PyExc_ValueError, message);
}

// DarknetDatasetYaml.validate_info_file_content
inline void check_description(const py::object& self, const py::object& info_dataset) {
    check_type(info_dataset);
    set_classes(self, info_dataset);
    py::object train = info_dataset.attr("get")("train", py::dict());
    py::object val = info_dataset.attr("get")("validation", py::dict());
    if (train.is_none()) pykit::print("\t - [ERROR] Dataset format is inconsistent. Missing key ``train``");
    if (val.is_none()) pykit::print("\t - [ERROR] Dataset format is inconsistent. Missing key ``validation``");
    set_split_folders(self, train, "path_train_images", "path_train_annotations",
                      "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``train`` section");
    set_split_folders(self, val, "path_val_images", "path_val_annotations",
                      "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``validate`` section");
}

}  // namespace darknet
