// Outline resampling by arc length, in plain C++ (no Python objects: it runs without the GIL).
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace seg {

enum class Resampled { ok, zero_length, not_finite, too_far };

// The farthest an outline point may lie from the image origin, in pixels. Masks are painted by
// OpenCV, whose polygon fill walks every row from the topmost vertex down, so a point billions
// of rows above the image costs minutes; and past 2^31 the truncation to int32 is undefined.
// 2^24 pixels (about a second of painting at worst) is beyond any real annotation.
inline constexpr double kFarthestPoint = 16777216.0;

// Resamples the open polyline `xy` (`n` rows of x, y) to `count` points spaced evenly by arc
// length into `out` (`count` rows of x, y): the first at the first vertex, the last at the last.
//
// Gives the points of scipy's interp1d(distance, xy, kind="slinear", axis=0)(linspace(0, 1, count))
// where `distance` is the cumulative vertex distance divided by the total length: the same
// sums, the same interval search and the same degree-1 B-spline weights. Vertices that add no
// length (repeated points) are dropped, since the interpolation needs strictly increasing
// abscissae. An outline of zero length is refused (`zero_length`), one with NaN or infinite
// coordinates (`not_finite`) or a point farther than kFarthestPoint (`too_far`) too; `out` is
// then left untouched.
//
// `outline_status` tells beforehand whether an outline can be resampled.
inline Resampled outline_status(const double* xy, size_t n) {
    if (n == 0) return Resampled::zero_length;
    double total = 0.0;
    for (size_t j = 1; j < n; ++j) {
        const double dx = xy[2 * j] - xy[2 * j - 2];
        const double dy = xy[2 * j + 1] - xy[2 * j - 1];
        total += std::sqrt(dx * dx + dy * dy);
    }
    // A NaN or infinite coordinate makes the total NaN or infinite (or is the first point).
    if (!std::isfinite(total) || !std::isfinite(xy[0]) || !std::isfinite(xy[1])) return Resampled::not_finite;
    for (size_t j = 0; j < 2 * n; ++j)
        if (std::fabs(xy[j]) > kFarthestPoint) return Resampled::too_far;
    return total == 0.0 ? Resampled::zero_length : Resampled::ok;
}

inline Resampled resample_outline(const double* xy, size_t n, size_t count, float* out) {
    const Resampled status = outline_status(xy, n);
    if (status != Resampled::ok) return status;
    std::vector<double> cumulative(n, 0.0);
    for (size_t j = 1; j < n; ++j) {
        const double dx = xy[2 * j] - xy[2 * j - 2];
        const double dy = xy[2 * j + 1] - xy[2 * j - 1];
        cumulative[j] = cumulative[j - 1] + std::sqrt(dx * dx + dy * dy);
    }
    const double total = cumulative[n - 1];

    // Normalised abscissae, strictly increasing, with the vertex each one belongs to.
    std::vector<double> abscissa;
    std::vector<size_t> vertex;
    abscissa.reserve(n);
    vertex.reserve(n);
    for (size_t j = 0; j < n; ++j) {
        const double d = cumulative[j] / total;
        if (!abscissa.empty() && d <= abscissa.back()) continue;
        abscissa.push_back(d);
        vertex.push_back(j);
    }

    // numpy.linspace(0, 1, count): i * (1 / (count - 1)), the last point exactly 1.
    const size_t m = abscissa.size();  // at least 2: the total length is not zero
    const double step = count > 1 ? 1.0 / static_cast<double>(count - 1) : 0.0;
    size_t j = 0;
    for (size_t i = 0; i < count; ++i) {
        const double a = (count > 1 && i == count - 1) ? 1.0 : static_cast<double>(i) * step;
        while (j + 2 < m && a >= abscissa[j + 1]) ++j;  // abscissa[j] <= a < abscissa[j + 1]
        const double x0 = abscissa[j], x1 = abscissa[j + 1];
        const double w = 1.0 / (x1 - x0);
        const double h0 = w * (x1 - a), h1 = w * (a - x0);
        const double* p0 = xy + 2 * vertex[j];
        const double* p1 = xy + 2 * vertex[j + 1];
        out[2 * i] = static_cast<float>(p0[0] * h0 + p1[0] * h1);
        out[2 * i + 1] = static_cast<float>(p0[1] * h0 + p1[1] * h1);
    }
    return Resampled::ok;
}

}  // namespace seg
