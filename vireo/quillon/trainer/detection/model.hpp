// The model-rewriting methods: the inference model without the training heads, and a
// channels-first wrapper.
#pragma once

#include "common.hpp"

namespace detection {

// DetectionTrainer.remove_training_outputs(self, model=None): a model of `model`'s input and
// all but its first two (training-only) outputs.
inline py::object remove_training_outputs(const State& s, const py::object& self, const py::object& model) {
    py::object m = model.is_none() ? py::object(self.attr("model")) : model;
    py::object outputs = m.attr("outputs")[py::slice(py::int_(2), py::none(), py::none())];
    return s.model_type(m.attr("input"), outputs);
}

// NHWC -> NCHW.
inline py::object to_channels_first(const State& s, const py::object& tensor) {
    return s.tf.attr("transpose")(tensor, py::make_tuple(0, 3, 1, 2));
}

// DetectionTrainer.to_nchw(self, model): a channels-first wrapper of a channels-last model. A
// single output is transposed (it must be 4-D); with several outputs every 4-D output is
// transposed and the others pass as they are.
inline py::object to_nchw(const State& s, const py::object& /*self*/, const py::object& model) {
    std::vector<py::object> dims = pykit::unpack(model.attr("input").attr("shape"), 4);
    const py::object &H = dims[1], &W = dims[2], &C = dims[3];
    py::object new_input = s.tf.attr("keras").attr("Input")(py::arg("shape") = py::make_tuple(C, H, W));
    py::object x = s.tf.attr("transpose")(new_input, py::make_tuple(0, 2, 3, 1));
    py::object y = model(x);
    if (!py::isinstance<py::list>(y) && !py::isinstance<py::tuple>(y)) return s.model_type(new_input, to_channels_first(s, y));

    const bool single = pykit::len(y) == 1;
    py::list converted;
    for (py::handle h : y) {
        py::object out = py::reinterpret_borrow<py::object>(h);
        const bool four_d = pykit::equals(out.attr("shape").attr("rank"), py::int_(4));
        converted.append(single || four_d ? to_channels_first(s, out) : out);
    }
    return s.model_type(new_input, converted);
}

}  // namespace detection
