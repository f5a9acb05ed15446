// The Python state of the tfrecord module: its imports (the shared ones in datasets::Imports)
// and its own classes, for super().
#pragma once

#include <pykit.hpp>

#include "common/imports.hpp"

namespace tfrecord {
namespace py = pybind11;

inline const char* const kModule = "vireo.quillon.datasets.tfrecord";

struct State : datasets::Imports {
    // letterbox, xywhn2xyxy, np and cv2 live in datasets::Imports; Pillow is not used.
    pykit::Ref BaseDetectionDataset{this};
    pykit::Ref tf{this};
    pykit::Ref join{this}, exists{this};
    pykit::Ref glob{this};
    pykit::Ref TFRecordDatasetYaml{this}, TFRecordDataset{this};
};

}  // namespace tfrecord
