// vireo.quillon.datasets.attitude (being built)
#include <pykit.hpp>

PYBIND11_MODULE(attitude, m) { (void)m; }
