// A COCO-style segmentation file as SegmentationDatasetJsonCOCO indexes it: its images are the
// samples, its annotations attach polygons to them. GIL held throughout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files.hpp"
#include "findings.hpp"
#include "image_rules.hpp"
#include "python_rules.hpp"
#include "state.hpp"

namespace scanner {

// A polygon waiting for its image's size: pixel coordinates are checked against it.
struct PendingPolygon {
    size_t sample;
    int64_t class_position;
    std::string where;
    std::vector<double> xy;
};

struct CocoIndex {
    std::vector<SampleFindings> samples;  // one per entry of ``images``
    std::vector<std::string> image_paths; // empty when the entry names no file
    std::vector<PendingPolygon> polygons;
    std::vector<Finding> unattached;      // findings that belong to no listed image
    size_t num_classes = 0;
    size_t run_length = 0;
};

// Ids index dictionaries: a number or a string (a list or an object can be no id).
inline bool usable_id(const py::object& id) { return !PyList_Check(id.ptr()) && !PyDict_Check(id.ptr()); }

// A polygon as flat x, y pixel coordinates; false, with the finding added, when it is not a
// flat list of numbers in pairs (booleans pass unless all are: NumPy then types it bool).
inline bool flat_polygon(const py::handle& polygon, std::vector<double>& xy, const std::string& file,
                         const std::string& where, SampleFindings& out) {
    bool flat = is_sequence(polygon) && py::len(polygon) % 2 == 0;
    size_t booleans = 0;
    if (flat) {
        for (py::handle v : polygon) {
            double d;
            if (!json_number(v, d)) {
                flat = false;
                break;
            }
            booleans += PyBool_Check(v.ptr());
            xy.push_back(d);
        }
    }
    if (!flat || (!xy.empty() && booleans == xy.size())) {
        out.add(Severity::error, "outline-layout", file, where, "the polygon is not a flat list of x, y pixel coordinates");
        return false;
    }
    return true;
}

// The categories (id 0 and entries without an id are skipped, as the dataset does), the images
// and the annotations of `content`, with the dataset's refusals at construction as errors.
inline CocoIndex index_coco(const State& s, const py::dict& content, const std::string& file,
                            const py::object& images_folder) {
    CocoIndex index;
    SampleFindings file_level;  // findings about no single image
    py::dict class_index;
    size_t position = 0, c = 0;
    for (py::handle category : content.attr("get")("categories", py::list())) {
        const std::string where = "categories[" + std::to_string(c++) + "]";
        if (!PyDict_Check(category.ptr())) {
            file_level.add(Severity::error, "coco-category", file, where, "the entry is not a JSON object");
            continue;
        }
        py::object id = category.attr("get")("id", py::int_(0));
        if (!usable_id(id)) {
            file_level.add(Severity::error, "coco-category", file, where, "``id`` must be a number or a string");
            continue;
        }
        if (pykit::equals(id, py::int_(0))) continue;
        if (!class_index.contains(id)) class_index[id] = py::int_(position);
        ++position;
    }
    index.num_classes = position;

    py::dict image_of_id;  // image id -> sample index (the first entry with that id)
    size_t i = 0;
    for (py::handle image : content.attr("get")("images", py::list())) {
        const std::string where = "images[" + std::to_string(i) + "]";
        index.samples.emplace_back();
        index.image_paths.emplace_back();
        SampleFindings& sample = index.samples.back();
        ++i;
        if (!PyDict_Check(image.ptr())) {
            sample.add(Severity::error, "coco-image", file, where, "the entry is not a JSON object");
            continue;
        }
        py::object name = image.attr("get")("file_name");
        if (name.is_none())
            sample.add(Severity::error, "coco-image-no-file-name", file, where, "the image has no ``file_name``");
        else
            index.image_paths.back() = json_file_name(s, images_folder, name, false, file, where, "file_name", sample);
        py::object id = image.attr("get")("id");
        if (id.is_none()) {
            sample.add(Severity::error, "coco-image", file, where, "the image has no ``id``");
        } else if (!usable_id(id)) {
            sample.add(Severity::error, "coco-image", file, where, "the image ``id`` " + python_repr(id) +
                                                                       " is not a number or a string");
        } else if (image_of_id.contains(id)) {
            const size_t first = image_of_id[id].cast<size_t>();
            sample.add(Severity::warning, "coco-duplicate-id", file, where,
                       "the image ``id`` " + python_repr(id) + " is also the id of images[" + std::to_string(first) +
                           "]: its annotations are read for the first");
        } else {
            image_of_id[id] = py::int_(i - 1);
        }
    }

    size_t j = 0;
    for (py::handle annotation : content.attr("get")("annotations", py::list())) {
        const std::string where = "annotations[" + std::to_string(j++) + "]";
        if (!PyDict_Check(annotation.ptr())) {
            file_level.add(Severity::error, "coco-annotation", file, where, "the entry is not a JSON object");
            continue;
        }
        py::object segmentation = annotation.attr("get")("segmentation");
        if (PyDict_Check(segmentation.ptr())) {  // run-length form: not read by the dataset
            ++index.run_length;
            continue;
        }
        py::object image_id = annotation.attr("get")("image_id", py::int_(0));
        const bool known_image = usable_id(image_id) && image_of_id.contains(image_id);
        const size_t sample = known_image ? image_of_id[image_id].cast<size_t>() : kNoSample;
        SampleFindings& owner = sample == kNoSample ? file_level : index.samples[sample];
        if (!is_sequence(segmentation)) {
            owner.add(Severity::error, "coco-annotation", file, where,
                      segmentation.is_none() ? "has no ``segmentation`` list" : "``segmentation`` is not a list of polygons");
            continue;
        }
        py::object category = annotation.attr("get")("category_id", py::int_(0));
        if (!usable_id(image_id) || !usable_id(category)) {
            owner.add(Severity::error, "coco-annotation", file, where,
                      std::string("``") + (usable_id(image_id) ? "category_id" : "image_id") + "`` must be a number or a string");
            continue;
        }
        if (!class_index.contains(category)) {
            owner.add(Severity::warning, "coco-unknown-category", file, where,
                      "category_id " + python_repr(category) + " is not in ``categories``: the annotation is skipped");
            continue;
        }
        // Polygons are indexed (and refused) when the file is read, whichever image they name.
        const int64_t class_position = class_index[category].cast<int64_t>();
        size_t k = 0;
        for (py::handle polygon : segmentation) {
            const std::string place = where + ".segmentation[" + std::to_string(k++) + "]";
            std::vector<double> xy;
            if (!flat_polygon(polygon, xy, file, place, owner)) continue;
            if (sample == kNoSample) continue;
            if (xy.size() < 6) {
                owner.add(Severity::warning, "outline-too-short", file, place,
                          "the polygon has " + std::to_string(xy.size() / 2) + " point(s): it encloses no area");
                continue;
            }
            index.polygons.push_back(PendingPolygon{sample, class_position, place, std::move(xy)});
        }
        if (sample == kNoSample)
            owner.add(Severity::warning, "coco-unknown-image", file, where,
                      "image_id " + python_repr(image_id) + " is not the id of any entry of ``images``: never read");
    }
    if (index.run_length > 0)
        file_level.add(Severity::note, "coco-run-length", file, "annotations",
                       std::to_string(index.run_length) +
                           " annotation(s) with a run-length ``segmentation`` are skipped (only polygons are read)");
    for (Finding& f : file_level.findings) {
        f.sample = kNoSample;
        index.unattached.push_back(std::move(f));
    }
    return index;
}

// The polygons against the size of their images (-1: unknown, then only finiteness counts).
inline void check_coco_polygons(CocoIndex& index, const std::vector<ImageSize>& sizes, const std::string& file) {
    for (const PendingPolygon& p : index.polygons) {
        const ImageSize size = sizes[p.sample];
        const bool known = size.width > 0 && size.height > 0;
        const double w = known ? static_cast<double>(size.width) : HUGE_VAL;
        const double h = known ? static_cast<double>(size.height) : HUGE_VAL;
        SampleFindings& sample = index.samples[p.sample];
        if (!check_outline(p.xy, w, h, file, p.where, sample)) continue;
        ++sample.objects;
        sample.classes.push_back(p.class_position);
    }
}

}  // namespace scanner
