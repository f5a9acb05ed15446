// vireo.quillon.trainer.detection (being built)
#include <pykit.hpp>

PYBIND11_MODULE(detection, m) { (void)m; }
