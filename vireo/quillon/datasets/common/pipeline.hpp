// What every training pipeline ends with.
#pragma once

#include <pykit.hpp>

namespace datasets {
namespace py = pybind11;

// `ds.with_options(options)` with tf.data's autotuning off: AUTOTUNE maps then run as many calls
// at once as there are cores. With autotuning on, a two-core machine was seen to run a whole
// pass one call at a time, at half the rate, in a random share of the passes; with it off,
// every pass overlaps its calls. Elements and their order do not change, and a caller's own
// options applied afterwards still win.
inline py::object without_autotuning(const py::object& tf, const py::object& ds) {
    py::object options = tf.attr("data").attr("Options")();
    options.attr("autotune").attr("enabled") = py::bool_(false);
    return ds.attr("with_options")(options);
}

}  // namespace datasets
