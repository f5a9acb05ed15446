// The segmentation module's Python state: its imports (bound at load time, in the order the
// module lists them), names looked up once from them, its own classes and the native steps its
// iterators map over. Method bodies receive it as their first parameter. The imports that the
// shared dataset steps use (np, cv2, Image, letterbox) are members of the base.
#pragma once

#include <pybind11/numpy.h>
#include <pykit.hpp>

#include <algorithm>
#include <cstdint>

#include <unistd.h>

#include "common/imports.hpp"

namespace seg {
namespace py = pybind11;

inline const char* const kModule = "vireo.quillon.datasets.segmentation";

struct State : datasets::Imports {
    // The module's other imports.
    pykit::Ref exists{this}, join{this}, basename{this};
    pykit::Ref interp1d{this};  // bound in the module; outlines are resampled natively (resample.hpp)
    pykit::Ref mask_padding{this};
    pykit::Ref A{this}, tf{this}, glob{this}, json{this};

    // Looked up once from them.
    pykit::Ref open{this}, glob_escape{this};
    pykit::Ref np_uint8{this}, np_uint16{this}, np_int32{this}, np_float32{this};
    pykit::Ref tf_uint8{this}, tf_int32{this}, tf_float32{this}, tf_string{this};

    // The module's classes, filled when they are built (for super()).
    pykit::Ref SegmentationDataset{this}, SegmentationDatasetYaml{this};

    // The per-element steps of the iterators (native functions taking the dataset first),
    // bound to a dataset when an iterator is built.
    pykit::Ref read_train_step{this}, read_val_step{this}, mask_train_step{this}, mask_val_step{this};
};

// The most bytes one array computed from user input (outlines, a mask) may take: the machine's
// memory, and never more than an array can index.
inline uint64_t bytes_limit() {
    uint64_t limit = static_cast<uint64_t>(PY_SSIZE_T_MAX);
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) limit = std::min(limit, static_cast<uint64_t>(pages) * static_cast<uint64_t>(page));
#endif
    return limit;
}

// `self.shape[:2]`
inline py::object height_width(const py::object& shape) { return shape[py::slice(0, 2, 1)]; }

// The empty outlines and classes of a sample without outlines.
inline py::object empty_array(const State& s, const py::object& dtype) {
    return s.np.attr("array")(py::list(), py::arg("dtype") = dtype);
}

}  // namespace seg
