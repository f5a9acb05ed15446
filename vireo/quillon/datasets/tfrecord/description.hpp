// Constructing a TFRecord dataset, checking its description (type, classes, sample counts and
// record folders, with the older layout's ``images`` keys) and listing its record files.
#pragma once

#include <pykit.hpp>

#include <string>

#include "common/description.hpp"
#include "record_file.hpp"
#include "state.hpp"

namespace tfrecord {
namespace py = pybind11;

// TFRecordDatasetYaml.__init__: the base constructor with only info_file given by position,
// then the folder attributes reset.
inline void init_from_file(const State& s, const py::object& self, const py::object& info_file,
                           const py::object& shape, const py::object& letter_box, const py::object& add_bkg_class,
                           const py::object& aug_cfg) {
    pykit::super(s.TFRecordDatasetYaml, self)
        .attr("__init__")(info_file, py::arg("shape") = shape, py::arg("letter_box") = letter_box,
                          py::arg("add_bkg_class") = add_bkg_class, py::arg("aug_cfg") = aug_cfg);
    datasets::reset_folder_attributes(self);
}

// TFRecordDataset.__init__
inline void init_from_dictionary(const State& s, const py::object& self, const py::object& info_dataset,
                                 const py::object& shape, const py::object& letter_box,
                                 const py::object& add_bkg_class, const py::object& aug_cfg) {
    datasets::init_from_description(s.TFRecordDataset, self, info_dataset, "tfrecord", shape, letter_box,
                                    add_bkg_class, aug_cfg);
}

// section.get(key), with a clear error when the section is missing or not a mapping.
inline py::object section_get(const py::object& section, const char* name, const char* key) {
    if (!py::hasattr(section, "get"))
        pykit::raise(PyExc_AttributeError,
                     pykit::format("[ERROR]: Dataset format is inconsistent. The ``{}`` section is missing or is not "
                                   "a mapping (got {})",
                                   name, py::type::of(section).attr("__name__")));
    return section.attr("get")(key);
}

// classes, with "background" first (in a new list) when class_offset > 0.
inline void set_classes(const py::object& self, const py::object& info_dataset) {
    py::object classes = info_dataset.attr("get")("classes", py::none());
    self.attr("classes") = classes;
    if (pykit::holds(self.attr("class_offset"), py::int_(0), Py_GT))
        self.attr("classes") = pykit::list_of(py::str("background")) + classes;
}

// The record folders: ``images`` in the older layout (no type), else ``path``.
inline void set_storages(const py::object& self, const py::object& ds_type, const py::object& train,
                         const py::object& val) {
    const char* key = "path";
    if (ds_type.is_none()) {
        key = "images";
    } else if (!pykit::equals(ds_type, py::str("tfrecord"))) {
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: Incompatible dataset type was found: {} is different than ``tfrecord``",
                                   ds_type));
    }
    self.attr("train_storage") = train.attr("get")(key);
    self.attr("val_storage") = val.attr("get")(key);
    if (datasets::among(py::none(), self.attr("train_storage"), self.attr("val_storage")))
        pykit::raise(PyExc_ValueError, "[ERROR]: This dataset does not contain the ``type`` key and it is not "
                                       "compatible with older TFRecord format neither");
}

// TFRecordDatasetYaml.validate_info_file_content
inline void check_description(const py::object& self, const py::object& info_dataset) {
    py::object get = info_dataset.attr("get");
    py::object ds_type = get("type"), train = get("train"), val = get("validation", py::none());
    set_classes(self, info_dataset);
    self.attr("num_train_samples") = section_get(train, "train", "samples");
    self.attr("num_val_samples") = section_get(val, "validation", "samples");
    if (datasets::among(py::int_(0), self.attr("num_train_samples"), self.attr("num_val_samples")))
        pykit::raise(PyExc_ValueError,
                     "[ERROR]: Quillon trainer does not support empty samples in either train or validation sets");
    if (pykit::len(self.attr("classes")) == 0)
        pykit::raise(PyExc_ValueError, "[ERROR]: Invalid dataset with no annotation classes was found");
    set_storages(self, ds_type, train, val);
}

// Refuses a listed file whose first record header shows it is not a TFRecord file.
inline void check_record_file(const py::handle& path) {
    py::bytes encoded = py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded) throw py::error_already_set();
    std::string file = encoded;
    Header header;
    {
        py::gil_scoped_release nogil;
        header = first_header(file.c_str());
    }
    if (header == Header::truncated || header == Header::corrupt)
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: {} is not a TFRecord file: its first record header is {}",
                                   py::reinterpret_borrow<py::object>(path),
                                   header == Header::truncated ? "cut short" : "corrupt (checksum mismatch)"));
}

// One storage: the folder's "*.tfrecord" files (unsorted, lower-case pattern), or the path left
// as it is, with a printed line, when the folder does not exist.
inline void list_records(const State& s, const py::object& self, const char* name) {
    py::object folder = self.attr(name);
    datasets::refuse_nul(folder);  // names no folder; glob and open refuse it alike
    if (!pykit::truthy(s.exists(folder))) {
        // Left as a string: the iterator builder refuses it by type.
        datasets::report_missing_folder("TFRecord", folder);
        return;
    }
    py::object files = s.glob.attr("glob")(s.join(folder, "*.tfrecord"));
    for (py::handle file : files) check_record_file(file);
    self.attr(name) = files;
}

// TFRecordDatasetYaml.load_storage
inline void load_storage(const State& s, const py::object& self) {
    list_records(s, self, "train_storage");
    list_records(s, self, "val_storage");
    if (pykit::len(self.attr("val_storage")) == 0 || pykit::len(self.attr("train_storage")) == 0)
        pykit::raise(PyExc_ValueError, "[ERROR]: Empty train or validation samples are not allowed.");
}

}  // namespace tfrecord
