// AttitudeDataset samples (an image and its pitch, yaw and roll) and its two iterators.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "batches.hpp"
#include "blur.hpp"
#include "common/annotations.hpp"
#include "common/pipeline.hpp"
#include "plain_mat.hpp"
#include "state.hpp"

namespace attitude {

// tf_load_instance(data), stored wrapped by tf.function
inline py::object tf_load_instance(const State& s, const py::object& self, const py::object& data) {
    return numpy_function(s, self.attr("_load_instance"), list_of(data), {"uint8", "float32"});
}

// np.array([pitch, yaw, roll], float32) of a plain MATLAB annotation file, read natively
// (plain_mat.hpp); an empty object when the file is not plain or cannot be read here.
inline py::object plain_mat_angles(const State& s, const py::object& self, const py::str& path) {
    // Only AttitudeDataset.read_annotations itself is read this way, not one that a subclass or
    // the instance puts in its place.
    if (!methods_come_from(self, s.AttitudeDataset, {"read_annotations"})) return py::object();
    const std::optional<std::string> name = datasets::filesystem_name(path);
    if (!name) return py::object();
    std::optional<std::array<float, 3>> angles;
    {
        py::gil_scoped_release nogil;
        std::string bytes;
        if (datasets::read_file(name->c_str(), bytes))
            angles = plain_mat::pose_angles(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }
    if (!angles) return py::object();
    py::array_t<float> out(3);
    std::copy(angles->begin(), angles->end(), out.mutable_data());
    return std::move(out);
}

inline py::tuple load_mat_sample(const State& s, const py::object& self, const py::object& data) {
    // The RGB pixels, read once: the blur works on them (blur.hpp).
    py::object img = datasets::read_rgb(s, entry_path(data, 0));
    // The annotation path is decoded: `annotations_path` takes text only.
    py::str annotation_path = entry_path(data, 1);
    py::object angles = plain_mat_angles(s, self, annotation_path);
    if (!angles) {
        py::object pose = pykit::unpack(self.attr("read_annotations")(annotation_path), 2)[0];
        py::object pitch = pose[py::int_(0)], yaw = pose[py::int_(1)], roll = pose[py::int_(2)];
        angles = s.np.attr("array")(list_of(pitch, yaw, roll), py::arg("dtype") = s.np.attr("float32"));
    }
    img = blur_sometimes(s, img);
    img = resize_to_shape(s, img, self.attr("shape"));
    return py::make_tuple(img, angles);
}

// _load_instance(data) -> (image, angles)
inline py::tuple load_instance(const State& s, const py::object& self, const py::object& data) {
    return naming_the_sample(&load_mat_sample, s, self, data);
}

// tf_augment(image, angles)
inline py::object tf_augment(const State& s, const py::object& self, const py::object& image,
                             const py::object& angles) {
    return numpy_function(s, self.attr("_augment"), list_of(image, angles), {"uint8", "float32"});
}

// _augment(image, angles): the hook leaves the sample as it is.
inline py::tuple augment(const py::object&, const py::object& image, const py::object& angles) {
    return py::make_tuple(image, angles);
}

// build_train_iterator(batch_size, prefetch): the whole split shuffled anew every pass, loaded,
// passed through the hook and batched (a smaller last batch kept).
inline py::object build_train_iterator(const State& s, const py::object& self, const py::object& batch_size,
                                       const py::object& prefetch) {
    const py::object autotune = s.tf.attr("data").attr("AUTOTUNE");
    py::object ds = s.tf.attr("data").attr("Dataset").attr("from_tensor_slices")(self.attr("train_storage"));
    ds = ds.attr("shuffle")(py::arg("buffer_size") = ds.attr("cardinality")(), py::arg("reshuffle_each_iteration") = true);
    if (batched_hooks_apply(self, s.AttitudeDataset)) {
        // The same elements, a whole batch loaded per call (batches.hpp).
        ds = ds.attr("batch")(py::arg("batch_size") = batch_size);
        py::object read_batch = py::module_::import("functools").attr("partial")(s.read_angle_batch, self);
        ds = ds.attr("map")(read_batch, py::arg("num_parallel_calls") = autotune);
    } else {
        ds = ds.attr("map")(self.attr("tf_load_instance"), py::arg("num_parallel_calls") = autotune);
        ds = ds.attr("map")(self.attr("tf_augment"), py::arg("num_parallel_calls") = autotune);
        ds = ds.attr("batch")(py::arg("batch_size") = batch_size);
    }
    return datasets::without_autotuning(s.tf, ds.attr("prefetch")(py::arg("buffer_size") = prefetch));
}

inline void require_folder(const State& s, const py::object& folder, const char* message) {
    if (!pykit::truthy(s.exists(folder))) pykit::raise(PyExc_FileNotFoundError, pykit::format(message, folder));
}

// build_val_iterator(batch_size, prefetch): the validation pairs themselves, in storage order;
// both parameters are accepted and not used.
inline py::object build_val_iterator(const State& s, const py::object& self, const py::object&, const py::object&) {
    require_folder(s, self.attr("val_images"), "Path to the validation images does not exist in this system: {}");
    require_folder(s, self.attr("val_annotations"), "Path to the validation annotations does not exist in this system: {}");
    return s.tf.attr("data").attr("Dataset").attr("from_tensor_slices")(self.attr("val_storage"));
}

}  // namespace attitude
