// A native reader for the one tf.train.Example layout the TFRecord dataset uses.
//
// It reads the protobuf wire format of Example → Features → map<string, Feature> and
// extracts the six features. It accepts only records that tf.io.parse_single_example reads
// without doubt (each wanted key once, the expected list kind, exactly one value for the
// fixed-length features); anything else returns false and the caller parses with
// TensorFlow, which gives its own result or error. Pure C++: callers release the GIL.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/tfrecord_bytes.hpp"

namespace tfrecord_example {

struct Record {
    std::string_view image, image_name;
    int64_t width = 0, height = 0;
    std::vector<int64_t> objects;
    std::vector<float> bboxes;
};

using Reader = datasets::Wire;
using datasets::kFixed32;
using datasets::kLen;
using datasets::kVarint;

inline float to_float(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The list of a Feature message, which must be of kind `kind` (1 bytes, 2 float, 3 int64).
inline bool feature_list(std::string_view feature, uint32_t kind, std::string_view& list) {
    Reader r(feature);
    uint32_t field, wire;
    if (!r.tag(field, wire) || field != kind || wire != kLen || !r.bytes(list)) return false;
    return r.done();  // a second kind or unknown field: let TensorFlow decide
}

inline bool bytes_values(std::string_view list, std::vector<std::string_view>& out) {
    Reader r(list);
    uint32_t field, wire;
    while (!r.done()) {
        std::string_view v;
        if (!r.tag(field, wire) || field != 1 || wire != kLen || !r.bytes(v)) return false;
        out.push_back(v);
    }
    return true;
}

inline bool float_values(std::string_view list, std::vector<float>& out) {
    Reader r(list);
    uint32_t field, wire, bits;
    while (!r.done()) {
        if (!r.tag(field, wire) || field != 1) return false;
        if (wire == kFixed32) {
            if (!r.fixed32(bits)) return false;
            out.push_back(to_float(bits));
        } else if (wire == kLen) {
            std::string_view packed;
            if (!r.bytes(packed) || packed.size() % 4) return false;
            Reader values(packed);
            while (!values.done() && values.fixed32(bits)) out.push_back(to_float(bits));
        } else {
            return false;
        }
    }
    return true;
}

inline bool int64_values(std::string_view list, std::vector<int64_t>& out) {
    Reader r(list);
    uint32_t field, wire;
    uint64_t v;
    while (!r.done()) {
        if (!r.tag(field, wire) || field != 1) return false;
        if (wire == kVarint) {
            if (!r.varint(v)) return false;
            out.push_back(int64_t(v));
        } else if (wire == kLen) {
            std::string_view packed;
            if (!r.bytes(packed)) return false;
            Reader values(packed);
            while (!values.done()) {
                if (!values.varint(v)) return false;
                out.push_back(int64_t(v));
            }
        } else {
            return false;
        }
    }
    return true;
}

inline bool single_bytes(std::string_view feature, std::string_view& out) {
    std::string_view list;
    std::vector<std::string_view> values;
    if (!feature_list(feature, 1, list) || !bytes_values(list, values) || values.size() != 1) return false;
    out = values[0];
    return true;
}

inline bool single_int64(std::string_view feature, int64_t& out) {
    std::string_view list;
    std::vector<int64_t> values;
    if (!feature_list(feature, 3, list) || !int64_values(list, values) || values.size() != 1) return false;
    out = values[0];
    return true;
}

// Reads `data` into `rec`; false when the record is not plainly of the expected layout.
inline bool parse(std::string_view data, Record& rec) {
    enum { kImage, kName, kWidth, kHeight, kObjects, kBboxes, kCount };
    static const std::string_view keys[kCount] = {"image", "image_name", "width", "height", "objects", "bboxes"};
    std::string_view found[kCount];
    bool seen[kCount] = {};

    Reader example(data);
    uint32_t field, wire;
    while (!example.done()) {
        std::string_view features;
        if (!example.tag(field, wire) || field != 1 || wire != kLen || !example.bytes(features)) return false;
        Reader map(features);
        while (!map.done()) {
            std::string_view entry;
            if (!map.tag(field, wire) || field != 1 || wire != kLen || !map.bytes(entry)) return false;
            Reader kv(entry);
            std::string_view key, value;
            bool has_key = false, has_value = false;
            while (!kv.done()) {
                std::string_view part;
                if (!kv.tag(field, wire) || wire != kLen || !kv.bytes(part)) return false;
                if (field == 1 && !has_key) { key = part; has_key = true; }
                else if (field == 2 && !has_value) { value = part; has_value = true; }
                else return false;
            }
            if (!has_key || !has_value) return false;
            for (int i = 0; i < kCount; ++i) {
                if (key != keys[i]) continue;
                if (seen[i]) return false;
                seen[i] = true;
                found[i] = value;
            }
        }
    }
    if (!seen[kImage] || !seen[kName] || !seen[kWidth] || !seen[kHeight]) return false;
    if (!single_bytes(found[kImage], rec.image) || !single_bytes(found[kName], rec.image_name) ||
        !single_int64(found[kWidth], rec.width) || !single_int64(found[kHeight], rec.height))
        return false;
    std::string_view list;
    if (seen[kObjects] && !(feature_list(found[kObjects], 3, list) && int64_values(list, rec.objects))) return false;
    if (seen[kBboxes] && !(feature_list(found[kBboxes], 2, list) && float_values(list, rec.bboxes))) return false;
    return true;
}

}  // namespace tfrecord_example
