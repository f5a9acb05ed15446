// Greedy matching of one image's detections with its ground truth, as COCO's evaluation
// matches boxes, in plain C++ (no Python objects: it runs without the GIL).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace matching {

// Boxes are rows of x_min, y_min, x_max, y_max.
inline double box_iou(const double* a, const double* b) {
    const double width = std::min(a[2], b[2]) - std::max(a[0], b[0]);
    const double height = std::min(a[3], b[3]) - std::max(a[1], b[1]);
    if (width <= 0.0 || height <= 0.0) return 0.0;
    const double inter = width * height;
    const double uni = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter;
    return uni > 0.0 ? inter / uni : 0.0;
}

struct Image {
    const double* dt_boxes;   // n_dt x 4, highest score first
    const int64_t* dt_labels; // n_dt
    size_t n_dt;
    const double* gt_boxes;   // n_gt x 4
    const int64_t* gt_labels; // n_gt
    size_t n_gt;
};

// Fills `tp` (n_dt x n_thresholds, row-major) with 1 where a detection matches a ground-truth
// box of its own label at that IoU threshold. Each detection, in order, takes the unmatched
// ground-truth box of its label with the highest IoU, if that IoU reaches the threshold; among
// equal IoUs the later box wins, and a threshold is capped just below 1, as in COCO's
// evaluation, so that results agree with it box for box.
inline void match_image(const Image& image, const double* thresholds, size_t n_thresholds, uint8_t* tp) {
    std::fill(tp, tp + image.n_dt * n_thresholds, uint8_t{0});
    if (image.n_dt == 0 || image.n_gt == 0) return;

    // IoU of every detection with every ground-truth box of the same label (-1: other label).
    std::vector<double> iou(image.n_dt * image.n_gt, -1.0);
    for (size_t d = 0; d < image.n_dt; ++d)
        for (size_t g = 0; g < image.n_gt; ++g)
            if (image.dt_labels[d] == image.gt_labels[g])
                iou[d * image.n_gt + g] = box_iou(image.dt_boxes + 4 * d, image.gt_boxes + 4 * g);

    std::vector<uint8_t> taken(image.n_gt);
    for (size_t t = 0; t < n_thresholds; ++t) {
        std::fill(taken.begin(), taken.end(), uint8_t{0});
        const double floor = std::min(thresholds[t], 1.0 - 1e-10);
        for (size_t d = 0; d < image.n_dt; ++d) {
            const double* row = iou.data() + d * image.n_gt;
            double best = floor;
            size_t chosen = image.n_gt;
            for (size_t g = 0; g < image.n_gt; ++g) {
                if (taken[g] || row[g] < best) continue;
                best = row[g];
                chosen = g;
            }
            if (chosen == image.n_gt) continue;
            taken[chosen] = 1;
            tp[d * n_thresholds + t] = 1;
        }
    }
}

}  // namespace matching
