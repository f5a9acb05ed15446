// What a scan finds: one line per problem, with the sample, the file and the place in it.
//
// Findings are plain C++ while the workers run (no GIL); they become Python tuples only when
// the scan is over.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace scanner {
namespace py = pybind11;

// error: the sample fails to load, or would feed non-finite numbers into training.
// warning: the sample loads, but something in it is dropped, skipped, clipped or suspect.
// note: unusual but handled (an image mode, an EXIF rotation, a skipped entry type).
enum class Severity { error, warning, note };

inline const char* severity_name(Severity s) {
    switch (s) {
        case Severity::error: return "error";
        case Severity::warning: return "warning";
        default: return "note";
    }
}

// The sample index of a finding that belongs to no single sample (a file, the whole split).
inline constexpr size_t kNoSample = static_cast<size_t>(-1);

struct Finding {
    size_t sample = 0;        // index of the sample in the list the scan was given, or kNoSample
    Severity severity = Severity::error;
    const char* kind = "";    // stable identifier, e.g. "class-out-of-range"
    std::string file;         // the file the problem is in
    std::string where;        // "line 3", "record 12", "segment[0][1]", or empty
    std::string message;
};

// The findings and counts of one scan, merged from the workers in sample order.
struct ScanResult {
    std::vector<Finding> findings;
    std::vector<int64_t> class_counts;  // objects per class id (ids inside the class list)
    int64_t objects = 0;                // boxes, outlines or faces read
    int64_t empty = 0;                  // samples without any object
    int64_t samples = 0;

    explicit ScanResult(size_t num_classes = 0) : class_counts(num_classes, 0) {}

    void add(Finding f) { findings.push_back(std::move(f)); }
    void count_class(int64_t id) {
        if (id >= 0 && static_cast<size_t>(id) < class_counts.size()) ++class_counts[static_cast<size_t>(id)];
    }
};

// Findings of one sample, collected by a worker before they are numbered and merged.
struct SampleFindings {
    std::vector<Finding> findings;
    std::vector<int64_t> classes;  // class id of every object counted
    int64_t objects = 0;

    void add(Severity severity, const char* kind, std::string file, std::string where, std::string message) {
        Finding f;
        f.severity = severity;
        f.kind = kind;
        f.file = std::move(file);
        f.where = std::move(where);
        f.message = std::move(message);
        findings.push_back(std::move(f));
    }
};

// Appends the findings and counts of sample `index`, in the order they were found.
inline void merge_sample(ScanResult& result, size_t index, SampleFindings& sample) {
    for (Finding& f : sample.findings) {
        f.sample = index;
        result.add(std::move(f));
    }
    for (int64_t id : sample.classes) result.count_class(id);
    result.objects += sample.objects;
    if (sample.objects == 0) ++result.empty;
    ++result.samples;
}

inline std::string line_place(size_t line) { return "line " + std::to_string(line); }

// File names come from the file system as bytes; they are shown as Python shows them
// (undecodable bytes as surrogate escapes), so the text never fails to build.
inline py::str fs_text(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// Messages are built from ASCII text and file names; invalid UTF-8 is replaced, not refused.
inline py::str message_text(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// {"samples", "objects", "empty", "classes": [count per class id],
//  "findings": [(sample or None, severity, kind, file, where or None, message), ...]}
inline py::dict to_python(const ScanResult& result) {
    py::list findings;
    for (const Finding& f : result.findings) {
        py::object where = f.where.empty() ? py::object(py::none()) : py::object(message_text(f.where));
        py::object sample = f.sample == kNoSample ? py::object(py::none()) : py::object(py::int_(f.sample));
        findings.append(py::make_tuple(sample, py::str(severity_name(f.severity)), py::str(f.kind),
                                       fs_text(f.file), where, message_text(f.message)));
    }
    py::list classes;
    for (int64_t count : result.class_counts) classes.append(py::int_(count));
    py::dict out;
    out["samples"] = py::int_(result.samples);
    out["objects"] = py::int_(result.objects);
    out["empty"] = py::int_(result.empty);
    out["classes"] = classes;
    out["findings"] = findings;
    return out;
}

}  // namespace scanner
