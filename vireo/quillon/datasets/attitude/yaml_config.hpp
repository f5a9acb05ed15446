// The three attitude datasets configured from a YAML description file.
#pragma once

#include "state.hpp"

namespace attitude {

// The folders (and classes) a description names, after every check.
struct Description {
    py::object classes, train_images, train_annotations, val_images, val_annotations;
};

// A description, or one of its sections, must be a mapping to be read with `get`; an empty
// file gives None, a list of folders a list.
inline const py::object& require_mapping(const py::object& value, const py::object& info_file, const char* what) {
    if (!PyDict_Check(value.ptr()))
        pykit::raise(PyExc_ValueError, pykit::format("{} of the description file {} must be a mapping, not {}", what,
                                                     info_file, Py_TYPE(value.ptr())->tp_name));
    return value;
}

// The description file's content: one YAML document, the file closed once parsed.
inline py::object load_description(const State& s, const py::object& info_file) {
    py::object yaml = py::module_::import("yaml");
    refuse_nul(info_file, "info_file");
    if (!pykit::truthy(s.exists(info_file)))
        pykit::raise(PyExc_FileNotFoundError,
                     pykit::format("Description file for the current dataset does not exist at: {}", info_file));
    py::object description = pykit::closing(pykit::builtin("open")(info_file), yaml.attr("full_load"));
    return require_mapping(description, info_file, "The top level");
}

// The four folders, each required; the messages are read from AttitudeDatasetYaml when
// needed, so changing its class attributes changes what every YAML class reports.
inline void read_folders(const State& s, const py::object& info_file, const py::object& description, Description& d) {
    py::object train = require_mapping(description.attr("get")("train", py::dict()), info_file, "The train section");
    py::object validation =
        require_mapping(description.attr("get")("validation", py::dict()), info_file, "The validation section");
    d.train_images = train.attr("get")("images", py::none());
    d.train_annotations = train.attr("get")("annotations", py::none());
    d.val_images = validation.attr("get")("images", py::none());
    d.val_annotations = validation.attr("get")("annotations", py::none());
    struct Folder {
        const py::object& path;
        const char* message;  // attribute of AttitudeDatasetYaml
        const char* key;
    };
    const Folder required[] = {
        {d.train_images, "train_msg_images", "train: images"},
        {d.train_annotations, "train_msg_ann", "train: annotations"},
        {d.val_images, "val_msg_images", "validation: images"},
        {d.val_annotations, "val_msg_ann", "validation: annotations"},
    };
    for (const Folder& folder : required)
        if (folder.path.is_none())
            pykit::raise_args(PyExc_ValueError, py::make_tuple(s.AttitudeDatasetYaml.attr(folder.message)));
    for (const Folder& folder : required) refuse_nul(folder.path, folder.key);
    for (const Folder& folder : required)
        if (!pykit::truthy(s.exists(folder.path)))
            pykit::raise_args(PyExc_FileNotFoundError,
                              py::make_tuple(s.AttitudeDatasetYaml.attr("location_msg").attr("format")(folder.path)));
}

// Reads and checks a description file; `needs_classes`: a non-empty `classes` list first.
inline Description read_description(const State& s, const py::object& info_file, bool needs_classes) {
    py::object description = load_description(s, info_file);
    Description d;
    if (needs_classes) {
        d.classes = description.attr("get")("classes", py::list());
        if (pykit::len(d.classes) == 0)
            pykit::raise(PyExc_ValueError, "Invalid number of classes. The dataset should contain at least one class");
    }
    read_folders(s, info_file, description, d);
    return d;
}

// AttitudeDatasetYaml.__init__
inline void construct_yaml(const State& s, const py::object& self, const py::object& shape, const py::object& info_file,
                           const py::object& num_bins) {
    Description d = read_description(s, info_file, false);
    pykit::super(s.AttitudeDatasetYaml, self)
        .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = d.train_images,
                          py::arg("train_annotations") = d.train_annotations, py::arg("val_images") = d.val_images,
                          py::arg("val_annotations") = d.val_annotations, py::arg("num_bins") = num_bins);
}

// AttitudeAndDetectDatasetYaml.__init__
inline void construct_detect_yaml(const State& s, const py::object& self, const py::object& shape,
                                  const py::object& info_file, const py::object& add_bkg_class) {
    Description d = read_description(s, info_file, true);
    pykit::super(s.AttitudeAndDetectDatasetYaml, self)
        .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = d.train_images,
                          py::arg("train_annotations") = d.train_annotations, py::arg("val_images") = d.val_images,
                          py::arg("val_annotations") = d.val_annotations, py::arg("classes") = d.classes,
                          py::arg("add_bkg_class") = add_bkg_class);
}

// AttitudeDatasetJsonYaml.__init__: the class list must not be empty; it is not used further.
inline void construct_json_yaml(const State& s, const py::object& self, const py::object& shape,
                                const py::object& info_file) {
    Description d = read_description(s, info_file, true);
    pykit::super(s.AttitudeDatasetJsonYaml, self)
        .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = d.train_images,
                          py::arg("train_annotations") = d.train_annotations, py::arg("val_images") = d.val_images,
                          py::arg("val_annotations") = d.val_annotations);
}

}  // namespace attitude
