// vireo.quillon.datasets.tools.scanner: the per-sample work of the dataset check, in parallel.
#include <pykit.hpp>

#include <algorithm>
#include <thread>

namespace py = pybind11;

namespace {

struct State : pykit::Captures {};

// The number of worker threads a scan uses when the caller asks for 0 (all cores).
py::object default_workers() { return py::int_(std::max(1u, std::thread::hardware_concurrency())); }

}  // namespace

PYBIND11_MODULE(scanner, m) {
    m.doc() = "Native, parallel per-sample checks of the dataset check tool.";
    auto context = pykit::make_context<State>();
    py::object fn = pykit::function("default_workers", {}, &default_workers,
                                    "Worker threads used when a scan is given 0 workers.", {}, context.object);
    pykit::set_names(fn, "vireo.quillon.datasets.tools.scanner", "default_workers");
    m.attr("default_workers") = fn;
}
