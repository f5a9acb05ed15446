// vireo.quillon.evaluators.matching: the per-image matching step of the detection evaluator.
#include <pykit.hpp>

#include "match.hpp"

namespace py = pybind11;
using pykit::arg;

namespace {

const char* const kModule = "vireo.quillon.evaluators.matching";

const char* const kMatchDoc =
    "Matches one image's detections with its ground-truth boxes at several IoU thresholds.\n"
    "\n"
    "Each detection, in the given order, takes the unmatched ground-truth box of its own label\n"
    "with the highest IoU, if that IoU reaches the threshold (COCO's greedy matching).\n"
    "\n"
    "Args:\n"
    "    dt_boxes: detections, shape (K, 4): x_min, y_min, x_max, y_max, highest score first.\n"
    "    dt_labels: integer label of each detection, shape (K,).\n"
    "    gt_boxes: ground-truth boxes, shape (G, 4), in the same units as ``dt_boxes``.\n"
    "    gt_labels: integer label of each ground-truth box, shape (G,).\n"
    "    thresholds: IoU thresholds, shape (T,), each in 0..1.\n"
    "\n"
    "Returns:\n"
    "    numpy.ndarray: bool, shape (K, T): True where the detection is a true positive.\n"
    "\n"
    "Raises:\n"
    "    ValueError: an array of the wrong shape, a box value that is not finite, or a threshold\n"
    "        outside 0..1.\n"
    "    TypeError: an argument that is not an array of numbers.\n";

}  // namespace

PYBIND11_MODULE(matching, m) {
    m.doc() = "Native matching core of vireo.quillon.evaluators.";
    py::object match = pykit::function(
        "match_detections",
        {arg("dt_boxes"), arg("dt_labels"), arg("gt_boxes"), arg("gt_labels"), arg("thresholds")},
        &matching::match_detections, kMatchDoc);
    pykit::set_names(match, kModule, "match_detections");
    m.attr("match_detections") = match;
}
