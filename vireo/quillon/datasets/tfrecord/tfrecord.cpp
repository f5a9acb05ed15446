// vireo.quillon.datasets.tfrecord (being built)
#include <pykit.hpp>

PYBIND11_MODULE(tfrecord, m) { (void)m; }
