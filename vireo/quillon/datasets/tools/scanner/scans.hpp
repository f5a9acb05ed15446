// The module's functions: one scan per dataset format. Each takes the samples as the dataset
// lists them, checks them on worker threads and returns what it found (findings.hpp).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "coco_rules.hpp"
#include "darknet_rules.hpp"
#include "files.hpp"
#include "findings.hpp"
#include "image_rules.hpp"
#include "pool.hpp"
#include "python_rules.hpp"
#include "state.hpp"
#include "tfrecord_rules.hpp"

namespace scanner {

inline constexpr int64_t kMaxAnnotationBytes = int64_t(256) << 20;

// A count argument as Python's operator.index reads it, not below 0.
inline size_t count_argument(const py::object& value, const char* name) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (!index) throw py::error_already_set();
    const long long n = py::reinterpret_steal<py::int_>(index).cast<long long>();
    if (n < 0) pykit::raise(PyExc_ValueError, std::string(name) + " must not be negative, got " + std::to_string(n));
    return static_cast<size_t>(n);
}

inline ImageOptions image_options(const State& s, const py::object& decode, bool truncated_loads) {
    ImageOptions options;
    options.decode = pykit::truthy(decode);
    options.truncated_loads = truncated_loads;
    py::object limit = s.Image.attr("MAX_IMAGE_PIXELS");
    options.max_pixels = limit.is_none() ? 0 : py::int_(limit).cast<int64_t>();
    return options;
}

inline long workers_argument(const py::object& workers) {
    PyObject* index = PyNumber_Index(workers.ptr());
    if (!index) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(index).cast<long>();
}

// The bytes of an annotation file (worker thread); false, with the finding added, when they
// cannot be read.
inline bool read_annotation(const std::string& path, std::string& text, SampleFindings& out) {
    const int error = read_small_file(path, text, static_cast<size_t>(kMaxAnnotationBytes));
    if (error == EFBIG)
        out.add(Severity::error, "annotation-unreadable", path, "",
                "more than " + std::to_string(kMaxAnnotationBytes >> 20) + " MiB: far too large for an annotation file");
    else if (error != 0)
        out.add(Severity::error, "annotation-unreadable", path, "", "cannot be read: " + errno_text(error));
    return error == 0;
}

// ---- Darknet ---------------------------------------------------------------------------------

struct LabelFile {
    SampleFindings findings;
    std::string text;           // kept for the files Python has to split (non-ASCII)
    bool needs_python = false;
};

inline void check_label_file(const std::string& path, size_t num_classes, LabelFile& label) {
    std::string text;
    if (!read_annotation(path, text, label.findings)) return;
    if (is_ascii(text)) {
        check_rows(ascii_rows(text), num_classes, path, label.findings);
        return;
    }
    label.needs_python = true;
    label.text = std::move(text);
}

// The label files with non-ASCII bytes, split and converted by Python (GIL held).
inline void check_label_text(LabelFile& label, const std::string& path, size_t num_classes) {
    static const std::string bom = "\xEF\xBB\xBF";
    std::string text = std::move(label.text);
    if (text.compare(0, 3, bom) == 0) {
        label.findings.add(Severity::error, "not-a-number", path, line_place(1),
                           "the file starts with a UTF-8 byte-order mark, which np.genfromtxt reads as part of the first value");
        text.erase(0, 3);
    }
    std::vector<Row> rows;
    if (!python_rows(text, rows)) {
        label.findings.add(Severity::error, "annotation-unreadable", path, "",
                           "is not UTF-8 text: np.genfromtxt cannot read it");
        return;
    }
    check_rows(rows, num_classes, path, label.findings);
}

inline py::object scan_darknet(State& s, const py::object& images, const py::object& annotations,
                               const py::object& num_classes, const py::object& decode, const py::object& workers,
                               const py::object& progress) {
    const std::vector<std::string> image_paths = fs_paths(images, "images");
    const std::vector<std::string> label_paths = fs_paths(annotations, "annotations");
    if (image_paths.size() != label_paths.size())
        pykit::raise(PyExc_ValueError, "images and annotations must pair up: " + std::to_string(image_paths.size()) +
                                           " images, " + std::to_string(label_paths.size()) + " annotation files");
    const size_t classes = count_argument(num_classes, "num_classes");
    const ImageOptions options = image_options(s, decode, true);
    StrictTruncation strict(s, options.decode);

    const size_t n = image_paths.size();
    std::vector<LabelFile> labels(n);
    run_parallel(n, worker_count(workers_argument(workers), n), progress, [&](size_t i, std::atomic<size_t>& units) {
        check_image(s, image_paths[i], options, labels[i].findings);
        check_label_file(label_paths[i], classes, labels[i]);
        units.fetch_add(1, std::memory_order_relaxed);
    });
    ScanResult result(classes);
    for (size_t i = 0; i < n; ++i) {
        if (labels[i].needs_python) check_label_text(labels[i], label_paths[i], classes);
        merge_sample(result, i, labels[i].findings);
    }
    return to_python(result);
}

// ---- TFRecord --------------------------------------------------------------------------------

inline py::object scan_tfrecord(State& s, const py::object& files, const py::object& num_classes,
                                const py::object& decode, const py::object& workers, const py::object& progress) {
    const std::vector<std::string> paths = fs_paths(files, "files");
    const size_t classes = count_argument(num_classes, "num_classes");
    const ImageOptions options = image_options(s, decode, false);
    if (options.decode) tensorflow(s);  // imported once, before the workers need it

    const size_t n = paths.size();
    std::vector<FileScan> scans;
    scans.reserve(n);
    for (size_t i = 0; i < n; ++i) scans.emplace_back(classes);
    run_parallel(n, worker_count(workers_argument(workers), n), progress, [&](size_t i, std::atomic<size_t>& units) {
        scan_record_file(s, paths[i], classes, options, scans[i], units);
    });

    ScanResult result(classes);
    size_t offset = 0;
    for (size_t i = 0; i < n; ++i) {
        scan_deferred(s, scans[i], paths[i], classes, options);
        ScanResult& part = scans[i].result;
        for (Finding& f : part.findings) {
            if (f.sample != kNoSample) f.sample += offset;
            result.add(std::move(f));
        }
        for (size_t c = 0; c < classes; ++c) result.class_counts[c] += part.class_counts[c];
        result.objects += part.objects;
        result.empty += part.empty;
        result.samples += part.samples;
        offset += scans[i].records;
    }
    return to_python(result);
}

// ---- Per-image segmentation JSON -----------------------------------------------------------

// Paths of images as Python text (None where a sample names none).
inline py::list image_list(const std::vector<std::string>& paths) {
    py::list out;
    for (const std::string& p : paths) out.append(p.empty() ? py::object(py::none()) : py::object(fs_text(p)));
    return out;
}

inline py::object scan_segmentation(State& s, const py::object& annotations, const py::object& images_folder,
                                    const py::object& num_classes, const py::object& decode, const py::object& workers,
                                    const py::object& progress) {
    const std::vector<std::string> paths = fs_paths(annotations, "annotations");
    const size_t classes = count_argument(num_classes, "num_classes");
    const ImageOptions options = image_options(s, decode, false);
    StrictTruncation strict(s, options.decode);
    const size_t n = paths.size();
    const size_t threads = worker_count(workers_argument(workers), n);

    // Progress counts each sample twice: its annotation read, then its image checked.
    std::vector<std::string> texts(n);
    std::vector<SampleFindings> samples(n);
    std::vector<bool> read(n, false);
    run_parallel(n, threads, progress, [&](size_t i, std::atomic<size_t>& units) {
        read[i] = read_annotation(paths[i], texts[i], samples[i]);
        units.fetch_add(1, std::memory_order_relaxed);
    });
    std::vector<std::string> images(n);
    for (size_t i = 0; i < n; ++i) {
        if (read[i]) check_segmentation_file(s, texts[i], paths[i], images_folder, classes, images[i], samples[i]);
        std::string().swap(texts[i]);
    }
    std::vector<SampleFindings> image_findings(n);
    run_parallel(n, threads, progress, [&](size_t i, std::atomic<size_t>& units) {
        if (!images[i].empty()) check_image(s, images[i], options, image_findings[i]);
        units.fetch_add(1, std::memory_order_relaxed);
    });
    ScanResult result(classes);
    for (size_t i = 0; i < n; ++i) {
        for (Finding& f : image_findings[i].findings) samples[i].findings.push_back(std::move(f));
        merge_sample(result, i, samples[i]);
    }
    py::dict out = to_python(result);
    out["images"] = image_list(images);
    return std::move(out);
}

// ---- COCO --------------------------------------------------------------------------------------

inline py::object scan_coco(State& s, const py::object& content, const py::object& json_file,
                            const py::object& images_folder, const py::object& decode, const py::object& workers,
                            const py::object& progress) {
    if (!PyDict_Check(content.ptr()))
        pykit::raise(PyExc_TypeError, std::string("content must be the COCO file's JSON object, not ") +
                                          Py_TYPE(content.ptr())->tp_name);
    const std::string file = fs_path(json_file);
    const ImageOptions options = image_options(s, decode, false);
    StrictTruncation strict(s, options.decode);
    CocoIndex index = index_coco(s, py::reinterpret_borrow<py::dict>(content), file, images_folder);

    const size_t n = index.samples.size();
    std::vector<ImageSize> sizes(n);
    std::vector<SampleFindings> image_findings(n);
    run_parallel(n, worker_count(workers_argument(workers), n), progress, [&](size_t i, std::atomic<size_t>& units) {
        if (!index.image_paths[i].empty()) sizes[i] = check_image(s, index.image_paths[i], options, image_findings[i]);
        units.fetch_add(1, std::memory_order_relaxed);
    });
    check_coco_polygons(index, sizes, file);

    ScanResult result(index.num_classes);
    for (size_t i = 0; i < n; ++i) {
        for (Finding& f : image_findings[i].findings) index.samples[i].findings.push_back(std::move(f));
        merge_sample(result, i, index.samples[i]);
    }
    for (Finding& f : index.unattached) result.add(std::move(f));
    py::dict out = to_python(result);
    out["images"] = image_list(index.image_paths);
    return std::move(out);
}

// ---- Head pose -------------------------------------------------------------------------------

inline py::object scan_attitude(State& s, const py::object& images, const py::object& annotations,
                                const py::object& layout, const py::object& num_classes, const py::object& decode,
                                const py::object& workers, const py::object& progress) {
    const std::vector<std::string> image_paths = fs_paths(images, "images");
    const std::vector<std::string> paths = fs_paths(annotations, "annotations");
    if (image_paths.size() != paths.size())
        pykit::raise(PyExc_ValueError, "images and annotations must pair up: " + std::to_string(image_paths.size()) +
                                           " images, " + std::to_string(paths.size()) + " annotation files");
    const std::string kind = pykit::as_str(layout).cast<std::string>();
    if (kind != "mat" && kind != "detect" && kind != "crop")
        pykit::raise(PyExc_ValueError, "layout must be 'mat', 'detect' or 'crop', got '" + kind + "'");
    const size_t classes = count_argument(num_classes, "num_classes");
    const ImageOptions options = image_options(s, decode, false);
    StrictTruncation strict(s, options.decode);
    if (kind == "mat") scipy_loadmat(s);

    const size_t n = paths.size();
    std::vector<SampleFindings> samples(n);
    std::vector<ImageSize> sizes(n);
    std::vector<std::string> texts(n);
    std::vector<bool> read(n, false);
    run_parallel(n, worker_count(workers_argument(workers), n), progress, [&](size_t i, std::atomic<size_t>& units) {
        sizes[i] = check_image(s, image_paths[i], options, samples[i]);
        read[i] = read_annotation(paths[i], texts[i], samples[i]);
        units.fetch_add(1, std::memory_order_relaxed);
    });
    ScanResult result(classes);
    for (size_t i = 0; i < n; ++i) {
        if (read[i]) {
            if (kind == "mat") check_pose_mat(s, texts[i], paths[i], samples[i]);
            else if (kind == "detect") check_pose_detect(s, texts[i], paths[i], classes, samples[i]);
            else check_pose_crop(s, texts[i], paths[i], sizes[i].width, sizes[i].height, samples[i]);
        }
        std::string().swap(texts[i]);
        merge_sample(result, i, samples[i]);
    }
    return to_python(result);
}

}  // namespace scanner
