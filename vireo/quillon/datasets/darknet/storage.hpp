// Listing the samples of a Darknet dataset (image and annotation path pairs) and the base
// iterator over such a list.
#pragma once

#include <pykit.hpp>

#include "common/description.hpp"
#include "state.hpp"

namespace darknet {
namespace py = pybind11;

inline const char* const kPatterns[] = {"*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]"};

// The attribute names, progress label and messages of one split.
struct Split {
    const char *images, *annotations;         // folder attributes
    const char *images_role, *annotations_role;  // how a missing folder is named
    const char *desc, *storage, *count, *error;
};

inline const Split kTrain = {"path_train_images", "path_train_annotations", "Training images",
                             "Training annotations", "Loading training dataset", "train_storage",
                             "num_train_samples", "[ERROR]: Dataset with empty training samples is not allowed"};
inline const Split kValidation = {"path_val_images", "path_val_annotations", "Validation images",
                                  "Validation annotations", "Loading validation dataset", "val_storage",
                                  "num_val_samples", "[ERROR]: Dataset with empty validation samples is not allowed"};

// png files first, then jpg, then jpeg, each in glob's order.
inline py::object list_images(const State& s, const py::object& folder) {
    py::object images = py::list();
    for (const char* pattern : kPatterns) images = images + s.glob.attr("glob")(s.join(folder, pattern));
    return images;
}

// Appends [image, annotation] for every image whose annotation file exists, under a green bar.
inline void pair_annotations(const State& s, const py::object& images, const py::object& folder,
                             const py::object& storage, const char* desc) {
    py::object loop = s.tqdm.attr("tqdm")(images, py::arg("desc") = desc, py::arg("colour") = "green",
                                          py::arg("bar_format") = "{l_bar}{bar:15}{r_bar}{bar:-15b}");
    for (py::handle image : loop) {
        py::object stem = s.splitext(s.basename(image))[py::int_(0)];
        py::object annotation = s.join(folder, stem + py::str(".txt"));
        if (pykit::truthy(s.exists(annotation))) storage.attr("append")(pykit::list_of(image, annotation));
    }
}

// Lists one split; an empty split names the folders that do not exist, then raises.
inline void list_split(const State& s, const py::object& self, const Split& split) {
    py::object images_folder = self.attr(split.images), annotations_folder = self.attr(split.annotations);
    py::object storage = self.attr(split.storage);
    pair_annotations(s, list_images(s, images_folder), annotations_folder, storage, split.desc);
    const size_t count = pykit::len(storage);
    self.attr(split.count) = py::int_(count);
    if (count != 0) return;
    if (!pykit::truthy(s.exists(images_folder))) datasets::report_missing_folder(split.images_role, images_folder);
    if (!pykit::truthy(s.exists(annotations_folder)))
        datasets::report_missing_folder(split.annotations_role, annotations_folder);
    pykit::raise(PyExc_ValueError, split.error);
}

// DarknetDatasetYaml.load_storage
inline void load_storage(const State& s, const py::object& self) {
    list_split(s, self, kTrain);
    list_split(s, self, kValidation);
}

// DarknetDatasetYaml.build_and_load_base_iterator: a buffer of the whole dataset, so every pass
// is a full permutation.
inline py::object base_iterator(const State& s, const py::object& /*self*/, const py::object& storage,
                                const py::object& shuffle) {
    py::object iterator = s.tf.attr("data").attr("Dataset").attr("from_tensor_slices")(storage);
    if (pykit::truthy(shuffle))
        iterator = iterator.attr("shuffle")(py::arg("buffer_size") = iterator.attr("cardinality")());
    return iterator;
}

}  // namespace darknet
