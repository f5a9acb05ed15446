// vireo.quillon.callbacks.tensorboard (being built)
#include <pykit.hpp>

PYBIND11_MODULE(tensorboard, m) { (void)m; }
