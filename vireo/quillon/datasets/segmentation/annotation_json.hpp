// Native reading of a per-image annotation file, for the files it can be sure about.
//
// json.load builds a Python float for every coordinate and a list for every point, which the
// reader then turns back into arrays: most of the time of reading a sample. This parser reads
// the file's `image` and `segment` straight into doubles, with the values json.load and
// float() give (std::from_chars rounds correctly, as float() does). It takes only plain files:
// ASCII text, strings without escapes, numbers in JSON's own grammar within double range, no
// key given twice, `segment` in its documented form. For anything else it reports the file as
// not read and the caller hands it to json.load, which then gives its own values or errors.
// Plain C++ over bytes: it runs without the GIL.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace seg {

struct PartData {
    std::vector<double> xy;  // rows of x, y as in the file
    bool class_is_integer = true;
    int64_t class_integer = 0;
    double class_number = 0.0;
};

struct AnnotationData {
    std::string image;
    bool has_segment = false;
    std::vector<std::vector<PartData>> segment;  // objects of parts
};

class AnnotationParser {
public:
    explicit AnnotationParser(std::string_view text) : text_(text) {}

    // True when the whole text is a plain annotation file (see the top of this file).
    bool parse(AnnotationData& out) {
        for (unsigned char c : text_)
            if (c >= 0x80) return false;
        bool has_image = false;
        bool ok = object([&](std::string_view key) {
            if (key == "image") {
                if (has_image) return false;
                has_image = true;
                return string(out.image);
            }
            if (key == "segment") {
                if (out.has_segment) return false;
                out.has_segment = true;
                return segment(out.segment);
            }
            return skip_value(0);
        });
        blank();
        return ok && has_image && at_ == text_.size();
    }

private:
    static constexpr int kDeepest = 64;  // nesting of ignored values followed natively

    void blank() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    bool take(char c) {
        blank();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool peek(char c) {
        blank();
        return at_ < text_.size() && text_[at_] == c;
    }

    // A string without escapes (an escape sends the file to json.load).
    bool string(std::string& out) {
        if (!take('"')) return false;
        const size_t start = at_;
        while (at_ < text_.size() && text_[at_] != '"') {
            const unsigned char c = text_[at_];
            if (c == '\\' || c < 0x20) return false;
            ++at_;
        }
        if (at_ == text_.size()) return false;
        out.assign(text_.substr(start, at_ - start));
        ++at_;
        return true;
    }

    // `{ "key": value, ... }`, each value read by `member(key)`.
    template <class Member>
    bool object(Member&& member) {
        if (!take('{')) return false;
        if (take('}')) return true;
        do {
            std::string key;
            if (!string(key) || !take(':') || !member(std::string_view(key))) return false;
        } while (take(','));
        return take('}');
    }

    // `[ item, ... ]`, each item read by `item()`.
    template <class Item>
    bool array(Item&& item) {
        if (!take('[')) return false;
        if (take(']')) return true;
        do {
            if (!item()) return false;
        } while (take(','));
        return take(']');
    }

    // A number in JSON's grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?; `integer` when
    // it has neither fraction nor exponent (json.load makes it an int).
    bool number(double& value, bool& integer, int64_t& whole) {
        blank();
        const size_t start = at_;
        auto digits = [&] {
            const size_t from = at_;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
            return at_ - from;
        };
        if (at_ < text_.size() && text_[at_] == '-') ++at_;
        if (at_ < text_.size() && text_[at_] == '0') ++at_;
        else if (digits() == 0) return false;
        integer = true;
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            integer = false;
            if (digits() == 0) return false;
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            integer = false;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (digits() == 0) return false;
        }
        const char* first = text_.data() + start;
        const char* last = text_.data() + at_;
        if (integer) {  // an int, converted to float as int -> float rounds it (to nearest)
            auto [end, ec] = std::from_chars(first, last, whole);
            value = static_cast<double>(whole);
            return ec == std::errc() && end == last;  // past int64: json.load decides
        }
        auto [end, ec] = std::from_chars(first, last, value);
        return ec == std::errc() && end == last;  // past double range: float() decides
    }

    bool coordinate(double& value) {
        bool integer = false;
        int64_t whole = 0;
        return number(value, integer, whole);
    }

    // [[x, y], ...]
    bool polygon(std::vector<double>& xy) {
        return array([&] {
            double x = 0.0, y = 0.0;
            if (!take('[') || !coordinate(x) || !take(',') || !coordinate(y) || !take(']')) return false;
            xy.push_back(x);
            xy.push_back(y);
            return true;
        });
    }

    // {"polygon": [...], "class": n, ...}: both keys given once.
    bool part(PartData& out) {
        bool has_polygon = false, has_class = false;
        bool ok = object([&](std::string_view key) {
            if (key == "polygon") {
                if (has_polygon) return false;
                has_polygon = true;
                return polygon(out.xy);
            }
            if (key == "class") {
                if (has_class) return false;
                has_class = true;
                return number(out.class_number, out.class_is_integer, out.class_integer);
            }
            return skip_value(0);
        });
        return ok && has_polygon && has_class;
    }

    bool segment(std::vector<std::vector<PartData>>& objects) {
        return array([&] {
            objects.emplace_back();
            return array([&] {
                objects.back().emplace_back();
                return part(objects.back().back());
            });
        });
    }

    // Any JSON value this reader does not use.
    bool skip_value(int depth) {
        if (depth > kDeepest) return false;
        blank();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '{') return object([&](std::string_view) { return skip_value(depth + 1); });
        if (c == '[') return array([&] { return skip_value(depth + 1); });
        if (c == '"') {
            std::string ignored;
            return string(ignored);
        }
        for (std::string_view word : {"true", "false", "null"})
            if (text_.substr(at_, word.size()) == word) {
                at_ += word.size();
                return true;
            }
        double value = 0.0;
        bool integer = false;
        int64_t whole = 0;
        return number(value, integer, whole);
    }

    std::string_view text_;
    size_t at_ = 0;
};

// Parses a plain annotation file (see the top of this file); false sends it to json.load.
inline bool parse_annotation(std::string_view text, AnnotationData& out) { return AnnotationParser(text).parse(out); }

}  // namespace seg
