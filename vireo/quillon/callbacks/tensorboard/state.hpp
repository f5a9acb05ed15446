// The TensorBoard logger module's Python state and messages.
#pragma once

#include <pykit.hpp>

namespace tensorboard {
namespace py = pybind11;

// The module's Python state, seen by the garbage collector.
struct State : pykit::Captures {
    pykit::Ref np{this};
    pykit::Ref tf{this};
    pykit::Ref warnings{this};
    pykit::Ref os{this};
    pykit::Ref write_summary{this};         // tf.raw_ops.WriteSummary (direct_writes.hpp)
    pykit::Ref flush_summary_writer{this};  // tf.raw_ops.FlushSummaryWriter
    pykit::Ref read_variable{this};         // tf.raw_ops.ReadVariableOp
    pykit::Ref summary_state{this};  // TensorFlow's record_if conditions, when its summary module has them
    pykit::Ref resource_variable{this};  // the plain tf.Variable class, when TensorFlow's module has it
    pykit::Ref eager_tensor{this};       // the class of eager tensors, when TensorFlow's module has it
};

inline const char* const kEmptyNames =
    "Invalid value for ``metric_names`` parameter was provided. List can't be empty nor None:";
inline const char* const kNothingToWrite =
    "There is not metrics to register. \nPlease define the metric names in the class constructor";

}  // namespace tensorboard
