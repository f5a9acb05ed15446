// vireo.quillon.callbacks.tensorboard: writes named training scalars to TensorBoard event files.
#include <pykit.hpp>

#include <memory>

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kLoggerDoc =
    "Writes training metrics and losses to TensorBoard event files in ``storage``.\n"
    "\n"
    "``metric_names`` acts as a filter: only the keys it lists are written, in its order, each as\n"
    "one scalar whose tag is the key, at the logger's own step counter ``global_step``.\n"
    "\n"
    "Args:\n"
    "    storage (str): log folder; created when missing.\n"
    "    metric_names (list): names of the values to write.\n"
    "\n"
    "Raises:\n"
    "    ValueError: when ``metric_names`` is None or empty.\n";

const char* const kEmptyNames =
    "Invalid value for ``metric_names`` parameter was provided. List can't be empty nor None:";
const char* const kNothingToWrite =
    "There is not metrics to register. \nPlease define the metric names in the class constructor";

struct Imports {
    py::object np;
    py::object tf;
    py::object warnings;
    py::object os;
};

}  // namespace

PYBIND11_MODULE(tensorboard, m) {
    auto im = std::make_shared<Imports>();
    im->np = py::module_::import("numpy");
    im->tf = py::module_::import("tensorflow");
    im->warnings = py::module_::import("warnings");
    im->os = py::module_::import("os");
    const std::string module = "vireo.quillon.callbacks.tensorboard";

    py::object builtins = py::module_::import("builtins");
    py::object str_t = builtins.attr("str"), list_t = builtins.attr("list"), dict_t = builtins.attr("dict");
    py::object int_t = builtins.attr("int");

    pykit::ClassBuilder(module, "TensorBoard")
        .doc(kLoggerDoc)
        .def("__init__",
             {arg("self"), arg("storage").ann(str_t), arg("metric_names").ann(list_t).def(py::none())},
             [im](py::object self, py::object storage, py::object metric_names) {
                 // Checked before anything touches the disk.
                 if (metric_names.is_none() || pykit::len(metric_names) == 0)
                     pykit::raise(PyExc_ValueError, kEmptyNames);
                 self.attr("storage") = storage;
                 py::object path = im->os.attr("path");
                 if (!pykit::truthy(path.attr("exists")(self.attr("storage"))))
                     im->os.attr("makedirs")(self.attr("storage"), py::arg("exist_ok") = true);
                 self.attr("metric_names") = metric_names;
                 self.attr("global_step") = py::int_(0);
                 self.attr("writer") = im->tf.attr("summary").attr("create_file_writer")(self.attr("storage"));
                 pykit::print(py::str("\t - TensorBoard Log: {}").format(self.attr("storage")));
             })
        .def("update_metrics",
             {arg("self"), arg("metrics").ann(dict_t).def(py::none()), arg("losses").ann(dict_t).def(py::none())},
             [im](py::object self, py::object metrics, py::object losses) {
                 py::object names = self.attr("metric_names");
                 if (pykit::len(names) == 0) {
                     im->warnings.attr("warn")(kNothingToWrite);
                     return;
                 }
                 py::object scalar = im->tf.attr("summary").attr("scalar");
                 // Without a metrics dictionary nothing is written; the losses are not asked either.
                 if (!metrics.is_none()) {
                     for (py::handle key : py::iter(names)) {
                         // A metric of 0, False or None is not written; the losses are asked instead.
                         py::object value = metrics.attr("get")(key);
                         if (!pykit::truthy(value)) {
                             if (losses.is_none()) continue;
                             value = losses.attr("get")(key);
                             if (!pykit::truthy(value)) continue;
                         }
                         pykit::with(self.attr("writer").attr("as_default")(), [&] {
                             scalar(key, value, py::arg("step") = self.attr("global_step"));
                         });
                     }
                 }
                 self.attr("writer").attr("flush")();
                 py::object step = self.attr("global_step");
                 self.attr("global_step") = step + py::int_(1);
             })
        .def("upload_image",
             {arg("self"), arg("caption").ann(str_t), arg("image").ann(im->np.attr("ndarray")),
              arg("epoch").ann(int_t)},
             [im](py::object self, py::object caption, py::object image, py::object epoch) {
                 pykit::with(self.attr("writer").attr("as_default")(), [&] {
                     im->tf.attr("summary").attr("image")(caption, im->tf.attr("expand_dims")(image, 0),
                                                          py::arg("step") = epoch);
                 });
             })
        .def("refresh", {arg("self")}, [](py::object self) { self.attr("writer").attr("flush")(); })
        .build(m);
}
