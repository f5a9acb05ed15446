// vireo.quillon.datasets.darknet (being built)
#include <pykit.hpp>

PYBIND11_MODULE(darknet, m) { (void)m; }
