// The Python state of the darknet module: its imports (the shared ones in datasets::Imports)
// and its own classes, for super().
#pragma once

#include <pykit.hpp>

#include "common/imports.hpp"

namespace darknet {
namespace py = pybind11;

inline const char* const kModule = "vireo.quillon.datasets.darknet";

struct State : datasets::Imports {
    // letterbox, xywhn2xyxy, Image, np and cv2 live in datasets::Imports.
    pykit::Ref BaseDetectionDataset{this};
    pykit::Ref tf{this};
    pykit::Ref ImageFile{this};
    pykit::Ref join{this}, basename{this}, splitext{this}, exists{this};
    pykit::Ref glob{this};
    pykit::Ref tqdm{this};
    pykit::Ref warnings{this};
    pykit::Ref DarknetDatasetYaml{this}, DarknetDataset{this};
};

}  // namespace darknet
