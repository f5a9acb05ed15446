// The compiled training step: input scaling and one gradient step on one batch. Both run
// inside tf.function graphs.
#pragma once

#include "common.hpp"

namespace detection {

// TensorFlow binds a graph-function method to its instance through a weak reference, so a
// trainer that nobody holds any more (`DetectionTrainer(...).train_step(data)`) arrives here as
// None. Said plainly, rather than as an attribute error on None.
inline void require_instance(const py::object& self, const char* method) {
    if (!self.is_none()) return;
    pykit::raise(PyExc_ReferenceError,
                 std::string("DetectionTrainer.") + method +
                     ": the trainer was released before this call ran (TensorFlow binds graph-function methods "
                     "through a weak reference). Keep the trainer in a variable: trainer = DetectionTrainer(...); "
                     "trainer." + method + "(...)");
}

// DetectionTrainer.preprocess_input(self, x): the image batch as float32 in 0..1.
inline py::object preprocess_input(const State& s, const py::object& /*self*/, const py::object& x) {
    return s.tf.attr("cast")(x, s.tf.attr("float32")) / py::float_(255.0);
}

// `losses = self.loss.compute_loss(targets, tuple(p))` and the L2 term, under the tape.
struct Forward {
    py::object losses, l2, full_loss;
};

inline Forward forward(const State& s, const py::object& self, const py::object& images, const py::object& targets) {
    py::object model = self.attr("model");
    py::object outputs = model(images, py::arg("training") = true);
    Forward f;
    f.losses = self.attr("loss").attr("compute_loss")(targets, pykit::as_tuple(outputs));
    f.l2 = s.tf.attr("reduce_sum")(model.attr("losses"));
    f.full_loss = get(f.losses, "total-loss") + f.l2;
    return f;
}

// DetectionTrainer.train_step(self, data): one gradient step on one batch.
inline py::object train_step(const State& s, const py::object& self, const py::object& data) {
    require_instance(self, "train_step");
    // Through attribute lookup, so the compiled graph function is the one called.
    py::object images = self.attr("preprocess_input")(data[py::int_(0)]);
    py::object targets = data[py::slice(py::int_(1), py::none(), py::none())];

    Forward f;
    py::object tape;
    pykit::with(s.tf.attr("GradientTape")(), [&](const py::object& recording) {
        tape = recording;
        f = forward(s, self, images, targets);
    });

    py::object variables = self.attr("model").attr("trainable_variables");
    py::object grads = tape.attr("gradient")(f.full_loss, variables);
    self.attr("optimizer").attr("apply_gradients")(pykit::builtin("zip")(grads, variables));
    f.losses[py::str("L2-loss")] = f.l2;
    return f.losses;
}

}  // namespace detection
