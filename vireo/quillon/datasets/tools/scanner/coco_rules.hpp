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

inline void add_unattached(CocoIndex& index, Severity severity, const char* kind, const std::string& file,
                           const std::string& where, const std::string& message) {
    Finding f;
    f.sample = kNoSample;
    f.severity = severity;
    f.kind = kind;
    f.file = file;
    f.where = where;
    f.message = message;
    index.unattached.push_back(std::move(f));
}

// Adds a finding to the sample of `sample`, or to the unattached ones when it is kNoSample.
inline void add_to(CocoIndex& index, size_t sample, Severity severity, const char* kind, const std::string& file,
                   const std::string& where, const std::string& message) {
    if (sample == kNoSample) add_unattached(index, severity, kind, file, where, message);
    else index.samples[sample].add(severity, kind, file, where, message);
}

// The categories (id 0 and entries without an id are skipped, as the dataset does), the images
// and the annotations of `content`.
inline CocoIndex index_coco(const State& s, const py::dict& content, const std::string& file,
                            const py::object& images_folder) {
    CocoIndex index;
    py::dict class_index;
    size_t position = 0;
    py::object categories = content.attr("get")("categories", py::list());
    if (is_sequence(categories)) {
        for (py::handle category : categories) {
            if (!PyDict_Check(category.ptr())) continue;
            py::object id = category.attr("get")("id", py::int_(0));
            if (pykit::equals(id, py::int_(0))) continue;
            if (!class_index.contains(id)) class_index[id] = py::int_(position);
            ++position;
        }
    }
    index.num_classes = position;

    py::dict image_of_id;  // image id -> sample index (the first entry with that id)
    py::object images = content.attr("get")("images", py::list());
    size_t i = 0;
    for (py::handle image : images) {
        const std::string where = "images[" + std::to_string(i) + "]";
        index.samples.emplace_back();
        index.image_paths.emplace_back();
        SampleFindings& sample = index.samples.back();
        if (!PyDict_Check(image.ptr())) {
            sample.add(Severity::error, "coco-image", file, where, "the entry is not a JSON object");
            ++i;
            continue;
        }
        py::object name = image.attr("get")("file_name");
        if (name.is_none())
            sample.add(Severity::error, "coco-image-no-file-name", file, where, "the image has no ``file_name``");
        else if (!PyUnicode_Check(name.ptr()))
            sample.add(Severity::error, "coco-image-no-file-name", file, where,
                       "``file_name`` is " + python_repr(name) + ", not a file name");
        else
            index.image_paths.back() = fs_path(s.os_path.attr("join")(images_folder, name));
        py::object id = image.attr("get")("id");
        if (id.is_none()) {
            sample.add(Severity::warning, "coco-image", file, where, "the image has no ``id``: no annotation can refer to it");
        } else if (PyObject_Hash(id.ptr()) == -1) {
            PyErr_Clear();
            sample.add(Severity::error, "coco-image", file, where, "the image ``id`` " + python_repr(id) + " is not a number or text");
        } else if (image_of_id.contains(id)) {
            const size_t first = image_of_id[id].cast<size_t>();
            sample.add(Severity::warning, "coco-duplicate-id", file, where,
                       "the image ``id`` " + python_repr(id) + " is also the id of images[" + std::to_string(first) +
                           "]: its annotations are read for the first");
        } else {
            image_of_id[id] = py::int_(i);
        }
        ++i;
    }

    py::object annotations = content.attr("get")("annotations", py::list());
    size_t j = 0;
    for (py::handle annotation : annotations) {
        const std::string where = "annotations[" + std::to_string(j++) + "]";
        if (!PyDict_Check(annotation.ptr())) {
            add_unattached(index, Severity::error, "coco-annotation", file, where, "the entry is not a JSON object");
            continue;
        }
        py::object image_id = annotation.attr("get")("image_id", py::int_(0));
        size_t sample = kNoSample;
        if (PyObject_Hash(image_id.ptr()) == -1) PyErr_Clear();
        else if (image_of_id.contains(image_id)) sample = image_of_id[image_id].cast<size_t>();
        py::object segmentation = annotation.attr("get")("segmentation");
        if (PyDict_Check(segmentation.ptr())) {  // run-length form: not read by the dataset
            ++index.run_length;
            continue;
        }
        if (!is_sequence(segmentation)) {
            add_to(index, sample, Severity::error, "coco-annotation", file, where,
                   segmentation.is_none() ? "has no ``segmentation`` list" : "``segmentation`` is not a list of polygons");
            continue;
        }
        py::object category = annotation.attr("get")("category_id", py::int_(0));
        const bool known_category = PyObject_Hash(category.ptr()) != -1 && class_index.contains(category);
        PyErr_Clear();
        if (!known_category) {
            add_to(index, sample, Severity::warning, "coco-unknown-category", file, where,
                   "category_id " + python_repr(category) + " is not in ``categories``: the annotation is skipped");
            continue;
        }
        if (sample == kNoSample) {
            add_unattached(index, Severity::warning, "coco-unknown-image", file, where,
                           "image_id " + python_repr(image_id) + " is not the id of any entry of ``images``: never read");
            continue;
        }
        const int64_t class_position = class_index[category].cast<int64_t>();
        size_t k = 0;
        for (py::handle polygon : segmentation) {
            const std::string place = where + ".segmentation[" + std::to_string(k++) + "]";
            std::vector<double> xy;
            bool flat = is_sequence(polygon) && py::len(polygon) % 2 == 0;
            if (flat) {
                for (py::handle v : polygon) {
                    double d;
                    if (!json_number(v, d)) {
                        flat = false;
                        break;
                    }
                    xy.push_back(d);
                }
            }
            if (!flat) {
                index.samples[sample].add(Severity::error, "outline-layout", file, place,
                                          "the polygon is not a flat list of x, y pixel coordinates");
                continue;
            }
            if (xy.size() < 6) {
                index.samples[sample].add(Severity::warning, "outline-too-short", file, place,
                                          "the polygon has " + std::to_string(xy.size() / 2) + " point(s): it encloses no area");
                continue;
            }
            index.polygons.push_back(PendingPolygon{sample, class_position, place, std::move(xy)});
        }
    }
    if (index.run_length > 0)
        add_unattached(index, Severity::note, "coco-run-length", file, "annotations",
                       std::to_string(index.run_length) +
                           " annotation(s) with a run-length ``segmentation`` are skipped (only polygons are read)");
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
