// vireo.quillon.datasets.segmentation (being built)
#include <pykit.hpp>

PYBIND11_MODULE(segmentation, m) { (void)m; }
