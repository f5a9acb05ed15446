// AttitudeDataset construction: images paired with annotation files of the same base name,
// one list of pairs per split.
#pragma once

#include "state.hpp"

namespace attitude {

// Hands the message to the outside reporting function when `path` does not exist; the
// function is imported when needed, and construction goes on if it returns.
inline void report_if_missing(const State& s, const py::object& path, const char* message) {
    if (pykit::truthy(s.exists(path))) return;
    py::object flow_inspection = pykit::import_from("vireo.quillon.reporting", "flow_inspection");
    flow_inspection(pykit::format(message, path));
}

// Every PNG, then JPG, then JPEG in `images` (any letter case), each group in glob's order.
inline py::object list_images(const State& s, const py::object& glob, const py::object& images) {
    py::object found = py::list();
    for (const char* pattern : {"*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]"})
        found = found + glob.attr("glob")(s.join(images, pattern));
    return found;
}

// The [image, annotation] pairs of one split. An image without an annotation file of the same
// base name is reported and left out.
inline py::list pair_split(const State& s, const py::object& glob, const py::object& images,
                           const py::object& annotations, const py::object& file_extension) {
    py::list storage;
    py::str suffix = pykit::format(".{}", file_extension);
    for (py::handle image : list_images(s, glob, images)) {
        py::object ann_name = s.splitext(s.basename(image))[py::int_(0)];
        py::object ann_path = s.join(annotations, ann_name + suffix);
        if (pykit::truthy(s.exists(ann_path)))
            storage.append(list_of(image, ann_path));
        else
            pykit::print(pykit::format("Missing annotation file: {}", ann_name));
    }
    return storage;
}

// AttitudeDataset.__init__
inline void construct(const State& s, const py::object& self, const py::object& shape, const py::object& train_images,
                      const py::object& train_annotations, const py::object& val_images,
                      const py::object& val_annotations, const py::object& num_bins,
                      const py::object& file_extension) {
    refuse_nul(train_images, "train_images");
    refuse_nul(train_annotations, "train_annotations");
    refuse_nul(val_images, "val_images");
    refuse_nul(val_annotations, "val_annotations");
    refuse_nul(file_extension, "file_extension");
    report_if_missing(s, train_images, "Path to the training images does not exist in this system: {}");
    report_if_missing(s, train_annotations, "Path to the training annotations does not exist in this system: {}");
    self.attr("train_images") = train_images;
    self.attr("train_annotations") = train_annotations;
    self.attr("val_images") = val_images;
    self.attr("val_annotations") = val_annotations;
    self.attr("num_bins") = num_bins;
    self.attr("shape") = shape;
    py::object glob = py::module_::import("glob");

    py::list train = pair_split(s, glob, self.attr("train_images"), self.attr("train_annotations"), file_extension);
    self.attr("train_storage") = train;
    if (pykit::len(train) == 0) pykit::raise(PyExc_ValueError, "Training dataset must have at least 1 element");

    py::list val = pair_split(s, glob, self.attr("val_images"), self.attr("val_annotations"), file_extension);
    self.attr("val_storage") = val;
    if (pykit::len(val) == 0) pykit::raise(PyExc_ValueError, "Training dataset must have at least 1 element");
}

// get_num_train_samples(), of every class that defines it.
inline py::int_ num_train_samples(const py::object& self) { return py::int_(pykit::len(self.attr("train_storage"))); }

}  // namespace attitude
