// Trainer construction, the compiled training step and the model-rewriting methods.
#pragma once

#include "common.hpp"

namespace detection {

// DetectionTrainer.__init__(self, model, dataset, optimizer, loss, logger, checkpoint, info,
// metric, iou, classes, display, dvclive_output, skip_validation_steps,
// skip_initial_validation, activate_mlflow)
inline void construct(const Imports& im, pykit::Args& a) {
    py::object self = a[0];
    self.attr("dvclive_output") = a[12];
    self.attr("info") = a[7];
    self.attr("model") = a[1];
    self.attr("metric") = a[8];
    self.attr("dataset") = a[2];
    self.attr("optimizer") = a[3];
    self.attr("loss") = a[4];
    self.attr("logger") = a[5];
    self.attr("evaluator") = py::none();

    // A logger without a summary writer fails here, before anything touches the disk.
    self.attr("val_messenger") = im.TrainingTensorBoardWriter(a[5].attr("writer"));

    self.attr("best_value") = py::float_(0.0);
    self.attr("iou") = a[9];
    self.attr("classes") = a[10];
    self.attr("display") = a[11];
    self.attr("NCHW") = py::bool_(false);
    self.attr("activate_mlflow") = a[15];
    self.attr("current_lr") = current_learning_rate(im, self.attr("optimizer"));

    py::object checkpoint = a[6];
    self.attr("checkpoint") = checkpoint;
    if (!path_exists(im, checkpoint)) im.os.attr("makedirs")(checkpoint, py::arg("exist_ok") = true);

    self.attr("best") = path_join(im, checkpoint, "best.h5");
    self.attr("last") = path_join(im, checkpoint, "last.h5");
    self.attr("summary_rows") = py::list();
    self.attr("skip_validation_steps") = a[13];
    self.attr("skip_initial_validation") = a[14];

    // Serialised before the file is opened, so a non-serialisable `info` leaves no empty file.
    py::object config = im.json.attr("dumps")(self.attr("info"), py::arg("indent") = 4);
    write_text(im, path_join(im, checkpoint, "config.json"), config);

    py::object classes = self.attr("classes");
    if (pykit::len(classes) > 0) {
        with(im.builtins.attr("open")(path_join(im, checkpoint, "labels.txt"), "w"), [&](py::object f) {
            for (py::handle cls : classes) f.attr("write")(pykit::format("{}\n", cls));
        });
    }

    pykit::print(percent("\t - Saving best iteration checkpoint at : %s", self.attr("best")));
    pykit::print(percent("\t - Saving last iteration checkpoint at : %s", self.attr("last")));
}

inline py::object preprocess_input(const Imports& im, const py::object& x) {
    return im.tf.attr("cast")(x, im.tf.attr("float32")) / py::float_(255.0);
}

// One gradient step on one batch; runs inside a tf.function graph.
inline py::object train_step(const Imports& im, const py::object& self, const py::object& data) {
    // Through attribute lookup, so the compiled graph function is the one called.
    py::object images = self.attr("preprocess_input")(data[py::int_(0)]);
    py::object targets = data[py::slice(py::int_(1), py::none(), py::none())];

    py::object model = self.attr("model");
    py::object losses, l2, full_loss, tape;
    with(im.tf.attr("GradientTape")(), [&](py::object recording) {
        tape = recording;
        py::object outputs = model(images, py::arg("training") = true);
        losses = self.attr("loss").attr("compute_loss")(targets, py::tuple(outputs));
        l2 = im.tf.attr("reduce_sum")(model.attr("losses"));
        full_loss = get(losses, "total-loss") + l2;
    });
    py::object variables = model.attr("trainable_variables");
    py::object grads = tape.attr("gradient")(full_loss, variables);
    self.attr("optimizer").attr("apply_gradients")(im.builtins.attr("zip")(grads, variables));
    losses[py::str("L2-loss")] = l2;
    return losses;
}

// A model of `model`'s input and all but its first two (training-only) outputs.
inline py::object remove_training_outputs(const Imports& im, const py::object& self, const py::object& model) {
    py::object m = model.is_none() ? py::object(self.attr("model")) : model;
    py::object outputs = m.attr("outputs")[py::slice(py::int_(2), py::none(), py::none())];
    return im.model_type(m.attr("input"), outputs);
}

// A channels-first wrapper of a channels-last model. A single output is transposed (it must
// be 4-D); with several outputs every 4-D output is transposed and the others pass as they are.
inline py::object to_nchw(const Imports& im, const py::object& model) {
    std::vector<py::object> dims = unpack(model.attr("input").attr("shape"), 4);
    const py::object &H = dims[1], &W = dims[2], &C = dims[3];
    py::object tf = im.tf;
    py::object new_input = tf.attr("keras").attr("Input")(py::arg("shape") = py::make_tuple(C, H, W));
    py::object x = tf.attr("transpose")(new_input, py::make_tuple(0, 2, 3, 1));
    py::object y = model(x);
    auto to_channels_first = [&](const py::object& t) -> py::object {
        return tf.attr("transpose")(t, py::make_tuple(0, 3, 1, 2));
    };
    if (py::isinstance<py::list>(y) || py::isinstance<py::tuple>(y)) {
        const bool single = pykit::len(y) == 1;
        py::list converted;
        for (py::handle h : y) {
            py::object out = py::reinterpret_borrow<py::object>(h);
            py::object rank = out.attr("shape").attr("rank");
            converted.append(single || pykit::equals(rank, py::int_(4)) ? to_channels_first(out) : out);
        }
        y = converted;
    } else {
        y = to_channels_first(y);
    }
    return im.model_type(new_input, y);
}

}  // namespace detection
