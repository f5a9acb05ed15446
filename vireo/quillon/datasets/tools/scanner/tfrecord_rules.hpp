// TFRecord files as the TFRecord dataset reads them: the framing and its checksums, the
// tf.train.Example layout, and the dataset's rules on the six features.
//
// Records written the usual way (one features map, each wanted key once, one list kind per
// feature) are read here without the GIL. Records of any other shape, and damaged ones, are
// handed to tf.io.parse_single_example, which then decides as it does for the dataset.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crc32c.hpp"
#include "darknet_rules.hpp"
#include "files.hpp"
#include "findings.hpp"
#include "image_header.hpp"
#include "image_rules.hpp"
#include "state.hpp"

namespace scanner {

// The features the dataset parses, as read from one record.
struct Record {
    std::string_view image, image_name;
    int64_t width = 0, height = 0;
    std::vector<int64_t> objects;
    std::vector<float> bboxes;
    std::string owned_image, owned_name;  // storage when the values come from TensorFlow
};

enum class Parsed { ok, invalid, unusual };

using Wire = datasets::Wire;
using datasets::kFixed32;
using datasets::kLen;
using datasets::kVarint;
enum FeatureKind { kNoKind = 0, kBytes = 1, kFloat = 2, kInt64 = 3 };

inline const char* kind_name(int kind) {
    switch (kind) {
        case kBytes: return "bytes";
        case kFloat: return "float";
        case kInt64: return "int64";
        default: return "no";
    }
}

// One Feature message: its list kind and values. Invalid: the wire format is broken.
// Unusual: well-formed but not one list of one kind.
struct FeatureList {
    int kind = kNoKind;
    std::vector<std::string_view> bytes;
    std::vector<float> floats;
    std::vector<int64_t> ints;
    size_t count() const { return kind == kBytes ? bytes.size() : kind == kFloat ? floats.size() : ints.size(); }
};

inline Parsed read_feature(std::string_view feature, FeatureList& out) {
    Wire w(feature);
    uint32_t field, wire;
    std::string_view list;
    if (w.done()) return Parsed::unusual;  // no kind set
    if (!w.tag(field, wire)) return Parsed::invalid;
    if (wire != kLen) return Parsed::unusual;
    if (!w.bytes(list)) return Parsed::invalid;
    if (field < 1 || field > 3 || !w.done()) return Parsed::unusual;
    out.kind = static_cast<int>(field);
    Wire values(list);
    while (!values.done()) {
        if (!values.tag(field, wire)) return Parsed::invalid;
        if (field != 1) return Parsed::unusual;
        if (out.kind == kBytes) {
            std::string_view v;
            if (wire != kLen) return Parsed::unusual;
            if (!values.bytes(v)) return Parsed::invalid;
            out.bytes.push_back(v);
        } else if (out.kind == kFloat && wire == kFixed32) {
            uint32_t bits;
            if (!values.fixed32(bits)) return Parsed::invalid;
            float f;
            std::memcpy(&f, &bits, 4);
            out.floats.push_back(f);
        } else if (out.kind == kFloat && wire == kLen) {
            std::string_view packed;
            if (!values.bytes(packed)) return Parsed::invalid;
            if (packed.size() % 4) return Parsed::invalid;
            for (size_t i = 0; i < packed.size(); i += 4) {
                float f;
                std::memcpy(&f, packed.data() + i, 4);
                out.floats.push_back(f);
            }
        } else if (out.kind == kInt64 && wire == kVarint) {
            uint64_t v;
            if (!values.varint(v)) return Parsed::invalid;
            out.ints.push_back(int64_t(v));
        } else if (out.kind == kInt64 && wire == kLen) {
            std::string_view packed;
            if (!values.bytes(packed)) return Parsed::invalid;
            Wire ints(packed);
            while (!ints.done()) {
                uint64_t v;
                if (!ints.varint(v)) return Parsed::invalid;
                out.ints.push_back(int64_t(v));
            }
        } else {
            return Parsed::unusual;
        }
    }
    return Parsed::ok;
}

// The six features in the order the dataset's feature description names them.
enum { kImage, kImageName, kWidth, kHeight, kObjects, kBboxes, kFeatureCount };
inline const char* const kFeatureKeys[kFeatureCount] = {"image", "image_name", "width", "height", "objects", "bboxes"};
inline const int kFeatureKinds[kFeatureCount] = {kBytes, kBytes, kInt64, kInt64, kInt64, kFloat};

// Reads one serialized Example. Layout problems TensorFlow would refuse the record for are
// added to `out`; `rec` is usable only when the result is ok and nothing was added.
inline Parsed parse_example(std::string_view data, Record& rec, const std::string& file, const std::string& where,
                            SampleFindings& out) {
    FeatureList found[kFeatureCount];
    bool seen[kFeatureCount] = {};
    Wire example(data);
    uint32_t field, wire;
    while (!example.done()) {
        std::string_view features;
        if (!example.tag(field, wire)) return Parsed::invalid;
        if (field != 1 || wire != kLen) return Parsed::unusual;
        if (!example.bytes(features)) return Parsed::invalid;
        Wire map(features);
        while (!map.done()) {
            std::string_view entry;
            if (!map.tag(field, wire)) return Parsed::invalid;
            if (field != 1 || wire != kLen) return Parsed::unusual;
            if (!map.bytes(entry)) return Parsed::invalid;
            Wire kv(entry);
            std::string_view key, value;
            bool has_key = false, has_value = false;
            while (!kv.done()) {
                std::string_view part;
                if (!kv.tag(field, wire)) return Parsed::invalid;
                if (wire != kLen || (field != 1 && field != 2)) return Parsed::unusual;
                if (!kv.bytes(part)) return Parsed::invalid;
                if (field == 1 && !has_key) {
                    key = part;
                    has_key = true;
                } else if (field == 2 && !has_value) {
                    value = part;
                    has_value = true;
                } else {
                    return Parsed::unusual;
                }
            }
            if (!has_key || !has_value) return Parsed::unusual;
            for (int i = 0; i < kFeatureCount; ++i) {
                if (key != kFeatureKeys[i]) continue;
                if (seen[i]) return Parsed::unusual;  // a repeated key: TensorFlow's choice decides
                seen[i] = true;
                const Parsed p = read_feature(value, found[i]);
                if (p != Parsed::ok) return p;
            }
        }
    }

    const size_t before = out.findings.size();
    for (int i = 0; i < kFeatureCount; ++i) {
        const bool fixed = i < kObjects;
        const std::string key = std::string("``") + kFeatureKeys[i] + "``";
        if (!seen[i]) {
            if (fixed)
                out.add(Severity::error, "record-layout", file, where,
                        "lacks the required feature " + key + " (" + kind_name(kFeatureKinds[i]) + ")");
            continue;
        }
        if (found[i].kind != kFeatureKinds[i]) {
            out.add(Severity::error, "record-layout", file, where,
                    key + " holds " + kind_name(found[i].kind) + " values where the dataset reads " +
                        kind_name(kFeatureKinds[i]));
        } else if (fixed && found[i].count() != 1) {
            out.add(Severity::error, "record-layout", file, where,
                    key + " holds " + std::to_string(found[i].count()) + " values where the dataset reads exactly one");
        }
    }
    if (out.findings.size() != before) return Parsed::ok;
    rec.image = found[kImage].bytes[0];
    rec.image_name = found[kImageName].bytes[0];
    rec.width = found[kWidth].ints[0];
    rec.height = found[kHeight].ints[0];
    rec.objects = std::move(found[kObjects].ints);
    rec.bboxes = std::move(found[kBboxes].floats);
    return Parsed::ok;
}

// tf.io.parse_single_example with the dataset's feature description (GIL taken here), for
// records the native reader leaves to TensorFlow. False, with the finding added, when it refuses.
inline bool parse_with_tensorflow(State& s, std::string_view data, Record& rec, const std::string& file,
                                  const std::string& where, SampleFindings& out) {
    py::gil_scoped_acquire gil;
    try {
        py::object tf = tensorflow(s);
        py::object io = tf.attr("io");
        py::object fixed = io.attr("FixedLenFeature"), var = io.attr("VarLenFeature");
        py::dict description;
        description["image"] = fixed(py::list(), tf.attr("string"));
        description["image_name"] = fixed(py::list(), tf.attr("string"));
        description["width"] = fixed(py::list(), tf.attr("int64"));
        description["height"] = fixed(py::list(), tf.attr("int64"));
        description["objects"] = var(tf.attr("int64"));
        description["bboxes"] = var(tf.attr("float32"));
        py::object sample = io.attr("parse_single_example")(py::bytes(data.data(), data.size()), description);
        py::object to_dense = tf.attr("sparse").attr("to_dense");
        rec.owned_image = sample["image"].attr("numpy")().cast<std::string>();
        rec.owned_name = sample["image_name"].attr("numpy")().cast<std::string>();
        rec.image = rec.owned_image;
        rec.image_name = rec.owned_name;
        rec.width = sample["width"].attr("numpy")().cast<int64_t>();
        rec.height = sample["height"].attr("numpy")().cast<int64_t>();
        rec.objects = to_dense(sample["objects"]).attr("numpy")().attr("tolist")().cast<std::vector<int64_t>>();
        rec.bboxes = to_dense(sample["bboxes"]).attr("numpy")().attr("tolist")().cast<std::vector<float>>();
        return true;
    } catch (py::error_already_set& e) {
        // TensorFlow's message quotes the record's bytes (and may fail to decode them itself,
        // raising UnicodeDecodeError): keep the start of its first line only.
        std::string message = "is not a valid tf.train.Example: tf.io.parse_single_example refuses it";
        if (!e.matches(PyExc_UnicodeError)) {
            std::string text = py::str(e.value()).cast<std::string>();
            const size_t brace = text.rfind("}} ");
            if (brace != std::string::npos) text = text.substr(brace + 3);
            text = text.substr(0, std::min(text.find('\n'), size_t(160)));
            message += " (" + text + ")";
        }
        out.add(Severity::error, "record-layout", file, where, message);
        return false;
    }
}

// tf.io.decode_jpeg on the record's image (GIL taken here): the dataset's decoder. A failure
// is reported as truncation when the header saw the data cut short.
inline void decode_with_tensorflow(State& s, std::string_view image, bool truncated, const std::string& file,
                                   const std::string& where, SampleFindings& out) {
    py::gil_scoped_acquire gil;
    try {
        py::object decoded = tensorflow(s).attr("io").attr("decode_jpeg")(py::bytes(image.data(), image.size()));
        const long dims = py::len(decoded.attr("shape"));
        if (dims != 3)
            out.add(Severity::error, "image-unreadable", file, where,
                    "decode_jpeg gives a " + std::to_string(dims) + "-dimensional array, not height x width x channels");
    } catch (py::error_already_set& e) {
        std::string text = py::str(e.value()).cast<std::string>();
        const size_t brace = text.rfind("}} ");
        if (brace != std::string::npos) text = text.substr(brace + 3);
        out.add(Severity::error, truncated ? "image-truncated" : "image-unreadable", file, where,
                "decode_jpeg fails: " + text.substr(0, text.find('\n')));
    }
}

// The image bytes of a record, as decode_jpeg sees them. False when they cannot be decoded.
inline bool check_record_image(const Record& rec, const ImageHeader& h, const ImageOptions& options,
                               const std::string& file, const std::string& where, SampleFindings& out) {
    if (h.format == ImageFormat::other) {
        out.add(Severity::error, "image-unreadable", file, where,
                "the ``image`` bytes are not JPEG, PNG or GIF, which decode_jpeg reads");
        return false;
    }
    if (!h.broken.empty()) {
        out.add(Severity::error, "image-unreadable", file, where, h.broken);
        return false;
    }
    if (!h.parsed) return true;  // GIF: decode_jpeg reads it
    if (!options.decode) {
        if (h.truncated)
            out.add(Severity::error, "image-truncated", file, where, "the image data stops before its end: decode_jpeg fails on it");
        if (h.end_unconfirmed)
            out.add(Severity::warning, "image-truncated", file, where,
                    "the PNG has no end chunk (IEND): it may be cut short (--decode tells)");
    }
    if (h.channels == 1)
        out.add(Severity::note, "image-grey", file, where, "grey image: decoded with one channel unless the network asks for three");
    if (h.format == ImageFormat::jpeg && h.channels == 4)
        out.add(Severity::note, "image-cmyk", file, where, "CMYK JPEG: converted to RGB when decoded");
    if (h.format == ImageFormat::png && h.bit_depth == 16)
        out.add(Severity::note, "image-16-bit", file, where, "16-bit samples: reduced to 8 bits when decoded");
    orientation_finding(h.orientation, file, where, out);
    if (rec.width != h.width || rec.height != h.height)
        out.add(Severity::note, "record-size-mismatch", file, where,
                "the ``width`` and ``height`` features say " + std::to_string(rec.width) + "x" + std::to_string(rec.height) +
                    ", the image is " + std::to_string(h.width) + "x" + std::to_string(h.height) +
                    " (the dataset uses the image's own size)");
    return true;
}

// The dataset's rules on one parsed record.
inline void check_record(State& s, const Record& rec, size_t num_classes, const ImageOptions& options,
                         const std::string& file, const std::string& where, SampleFindings& out) {
    for (size_t i = 0; i < rec.objects.size(); ++i) {
        const int64_t id = rec.objects[i];
        if (id < 0 || static_cast<uint64_t>(id) >= num_classes)
            out.add(Severity::error, "class-out-of-range", file, where,
                    "object " + std::to_string(i) + ": class id " + std::to_string(id) + " is outside the " +
                        std::to_string(num_classes) + " classes of the description");
        else
            out.classes.push_back(id);
    }
    const size_t values = rec.bboxes.size();
    bool layout = true;
    if (values % 4 != 0) {
        out.add(Severity::error, "record-layout", file, where,
                "``bboxes`` holds " + std::to_string(values) + " values, not 4 per object");
        layout = false;
    } else if (values / 4 != rec.objects.size()) {
        out.add(Severity::error, "record-layout", file, where,
                std::to_string(rec.objects.size()) + " ``objects`` but " + std::to_string(values / 4) + " boxes in ``bboxes``");
        layout = false;
    }
    out.objects += static_cast<int64_t>(rec.objects.size());
    if (layout) {
        static const char* const names[4] = {"x_center", "y_center", "width", "height"};
        for (size_t b = 0; b < values / 4; ++b) {
            const float* v = &rec.bboxes[4 * b];
            const std::string what = "box " + std::to_string(b);
            bool finite = true;
            for (int c = 0; c < 4; ++c) {
                if (!std::isfinite(v[c])) {
                    out.add(Severity::error, "non-finite", file, where,
                            what + ": " + names[c] + " " + number_text(v[c]) + " is not a finite number");
                    finite = false;
                }
            }
            if (!finite) continue;
            check_relative_box(v[0], v[1], v[2], v[3], file, where, what.c_str(), out);
            for (size_t e = 0; e < b; ++e) {
                if (rec.objects[e] == rec.objects[b] && std::memcmp(&rec.bboxes[4 * e], v, 4 * sizeof(float)) == 0) {
                    out.add(Severity::warning, "duplicate-row", file, where,
                            what + " repeats box " + std::to_string(e) + ": the object is counted twice");
                    break;
                }
            }
        }
    }
    const ImageHeader h = inspect_image_bytes(rec.image);
    if (check_record_image(rec, h, options, file, where, out) && options.decode)
        decode_with_tensorflow(s, rec.image, h.truncated, file, where, out);
}

// A record's place in its file, for messages.
inline std::string record_place(size_t index, int64_t offset) {
    return "record " + std::to_string(index) + " (byte " + std::to_string(offset) + ")";
}

inline std::string name_place(size_t index, const Record& rec) {
    std::string name(rec.image_name.substr(0, 120));
    return "record " + std::to_string(index) + " '" + name + "'";
}

// A record the native reader left to TensorFlow, checked after the workers end.
struct DeferredRecord {
    size_t index = 0;
    int64_t offset = 0;
    std::string data;
};

// The scan of one record file: findings and counts, records numbered within the file.
struct FileScan {
    ScanResult result;
    std::vector<DeferredRecord> deferred;
    size_t records = 0;
    explicit FileScan(size_t num_classes = 0) : result(num_classes) {}
};

inline constexpr uint64_t kMaxRecordBytes = uint64_t(1) << 31;

// Reads every record of `path` (worker thread, no GIL; TensorFlow is called with it only to
// decode images when asked).
inline void scan_record_file(State& s, const std::string& path, size_t num_classes, const ImageOptions& options,
                             FileScan& scan, std::atomic<size_t>& units) {
    File f(path);
    if (!f.ok()) {
        Finding finding;
        finding.sample = kNoSample;
        finding.kind = "record-unreadable";
        finding.file = path;
        finding.message = "cannot be read: " + errno_text(f.error());
        scan.result.add(std::move(finding));
        return;
    }
    const int64_t size = f.size();
    int64_t offset = 0;
    std::string header, body;
    // Problems of the framing belong to the file: the records from there on cannot be read.
    auto file_problem = [&](Severity severity, const char* kind, const std::string& where, const std::string& message) {
        Finding finding;
        finding.sample = kNoSample;
        finding.severity = severity;
        finding.kind = kind;
        finding.file = path;
        finding.where = where;
        finding.message = message;
        scan.result.add(std::move(finding));
    };
    while (offset < size) {
        const size_t index = scan.records;
        const std::string where = record_place(index, offset);
        if (size - offset < 12 || !f.read_at(offset, 12, header) || header.size() < 12) {
            file_problem(Severity::error, "record-truncated", where,
                         "the file ends inside the record's header: TensorFlow fails at this point");
            break;
        }
        uint64_t length;
        uint32_t length_crc;
        std::memcpy(&length, header.data(), 8);
        std::memcpy(&length_crc, header.data() + 8, 4);
        if (masked_crc32c(header.data(), 8) != length_crc) {
            file_problem(Severity::error, "record-corrupt", where,
                         "the record's length fails its checksum: the file is damaged here and TensorFlow stops reading it");
            break;
        }
        if (length > uint64_t(size - offset - 12) || uint64_t(size - offset - 12) - length < 4) {
            file_problem(Severity::error, "record-truncated", where,
                         "the record needs " + std::to_string(length) + " bytes but the file ends " +
                             std::to_string(size - offset - 12) + " bytes later: TensorFlow fails at this point");
            break;
        }
        if (length > kMaxRecordBytes) {
            file_problem(Severity::error, "record-corrupt", where,
                         "the record claims " + std::to_string(length) + " bytes, more than a record can hold");
            break;
        }
        ++scan.records;
        if (!f.read_at(offset + 12, size_t(length) + 4, body) || body.size() < length + 4) {
            file_problem(Severity::error, "record-unreadable", where, "cannot be read: " + errno_text(f.error()));
            break;
        }
        uint32_t data_crc;
        std::memcpy(&data_crc, body.data() + length, 4);
        const std::string_view data(body.data(), size_t(length));
        SampleFindings sample;
        if (masked_crc32c(data.data(), data.size()) != data_crc) {
            sample.add(Severity::error, "record-corrupt", path, where,
                       "the record's data fails its checksum: TensorFlow stops reading the file here");
            merge_sample(scan.result, index, sample);
        } else {
            Record rec;
            const Parsed parsed = parse_example(data, rec, path, where, sample);
            if (parsed != Parsed::ok) {
                // TensorFlow's parser is more lenient than the protocol-buffer format (it reads
                // past damage in parts it does not need): it decides, as for the dataset.
                scan.deferred.push_back(DeferredRecord{index, offset, std::string(data)});
            } else {
                if (sample.findings.empty())
                    check_record(s, rec, num_classes, options, path, name_place(index, rec), sample);
                merge_sample(scan.result, index, sample);
            }
        }
        offset += 12 + int64_t(length) + 4;
        units.fetch_add(size_t(16 + length), std::memory_order_relaxed);
    }
    if (size == 0) file_problem(Severity::warning, "record-empty", "", "the file holds no records");
}

// The records left to TensorFlow (GIL held by the caller; taken again inside).
inline void scan_deferred(State& s, FileScan& scan, const std::string& path, size_t num_classes,
                          const ImageOptions& options) {
    for (const DeferredRecord& d : scan.deferred) {
        const std::string where = record_place(d.index, d.offset);
        SampleFindings sample;
        Record rec;
        bool parsed;
        {
            py::gil_scoped_release nogil;  // parse_with_tensorflow takes it back
            parsed = parse_with_tensorflow(s, d.data, rec, path, where, sample);
            if (parsed) check_record(s, rec, num_classes, options, path, name_place(d.index, rec), sample);
        }
        merge_sample(scan.result, d.index, sample);
    }
}

}  // namespace scanner
