// Darknet label files as the Darknet dataset reads them (np.genfromtxt with its defaults,
// then the dataset's own rules), line by line, so that every problem names its line.
//
// genfromtxt splits lines at universal newlines, drops what follows '#', splits at white
// space and converts every value with Python's float(). ASCII files are read here without
// the GIL; files with other bytes are split and converted by Python itself (GIL held), since
// str.split() and float() then accept more than ASCII does (Unicode spaces and digits).
#pragma once

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "findings.hpp"

namespace scanner {

// One line holding values: its number in the file (from 1) and its values.
struct Row {
    size_t line = 0;
    std::vector<std::string> tokens;
    std::vector<double> values;  // NaN where a token is not a number
    std::vector<bool> numeric;   // false where float() refuses the token
};

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Python's float() of an ASCII token: [sign] (decimal | inf | infinity | nan), digits
// optionally grouped by single underscores. False when float() refuses it.
inline bool python_float(std::string_view token, double& value) {
    const bool negative = !token.empty() && token[0] == '-';
    const std::string_view body = token.substr(!token.empty() && (token[0] == '+' || token[0] == '-') ? 1 : 0);
    std::string lower(body);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (lower == "inf" || lower == "infinity" || lower == "nan") {
        value = lower == "nan" ? std::nan("") : HUGE_VAL;
        if (negative) value = -value;
        return true;
    }
    // Underscores may stand only between two digits; float() drops them.
    std::string plain;
    for (size_t k = 0; k < body.size(); ++k) {
        if (body[k] != '_') {
            plain += body[k];
        } else if (k == 0 || k + 1 == body.size() || !is_digit(body[k - 1]) || !is_digit(body[k + 1])) {
            return false;
        }
    }
    // digits [. digits] [(e|E) [sign] digits], with at least one mantissa digit.
    const size_t n = plain.size();
    size_t k = 0, mantissa = 0, point = std::string::npos;
    while (k < n && is_digit(plain[k])) ++k, ++mantissa;
    if (k < n && plain[k] == '.') {
        point = k++;
        while (k < n && is_digit(plain[k])) ++k, ++mantissa;
    }
    if (mantissa == 0) return false;
    const size_t mantissa_end = k;
    long exponent = 0;
    if (k < n && (plain[k] == 'e' || plain[k] == 'E')) {
        const size_t start = ++k;
        if (k < n && (plain[k] == '+' || plain[k] == '-')) ++k;
        if (k == n || !is_digit(plain[k])) return false;
        while (k < n && is_digit(plain[k])) ++k;
        exponent = std::strtol(plain.c_str() + start, nullptr, 10);
    }
    if (k != n) return false;

    auto [end, ec] = std::from_chars(plain.data(), plain.data() + n, value);
    if (ec == std::errc::result_out_of_range) {
        // float() rounds past the largest double to infinity and below the smallest to zero:
        // which one depends on where the first significant digit stands.
        const size_t int_end = point == std::string::npos ? mantissa_end : point;
        long magnitude = 0;
        const size_t first = plain.find_first_not_of('0');
        if (first < int_end) {
            magnitude = static_cast<long>(int_end - first);
        } else if (point != std::string::npos) {
            const size_t digit = plain.find_first_not_of('0', point + 1);
            magnitude = -static_cast<long>(digit - point - 1);
        }
        value = magnitude + exponent > 0 ? HUGE_VAL : 0.0;
    } else if (ec != std::errc() || end != plain.data() + n) {
        return false;
    }
    if (negative) value = -value;
    return true;
}

// The white space of str.split() within ASCII.
inline bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || (c >= 0x1c && c <= 0x1f); }

inline bool is_ascii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

// Calls `line(number, text)` for every line of `text`, split at \n, \r\n and \r, with the
// comment ('#' onwards) removed.
template <class Fn>
void for_each_line(std::string_view text, Fn&& line) {
    size_t number = 0, start = 0;
    const size_t n = text.size();
    while (start < n) {
        size_t end = start;
        while (end < n && text[end] != '\n' && text[end] != '\r') ++end;
        ++number;
        std::string_view content = text.substr(start, end - start);
        const size_t hash = content.find('#');
        if (hash != std::string_view::npos) content = content.substr(0, hash);
        line(number, content);
        if (end < n && text[end] == '\r' && end + 1 < n && text[end + 1] == '\n') ++end;
        start = end + 1;
    }
}

// The rows of an ASCII file, converted here.
inline std::vector<Row> ascii_rows(std::string_view text) {
    std::vector<Row> rows;
    for_each_line(text, [&](size_t number, std::string_view content) {
        Row row;
        row.line = number;
        size_t i = 0;
        while (i < content.size()) {
            while (i < content.size() && is_space(static_cast<unsigned char>(content[i]))) ++i;
            size_t start = i;
            while (i < content.size() && !is_space(static_cast<unsigned char>(content[i]))) ++i;
            if (i > start) row.tokens.emplace_back(content.substr(start, i - start));
        }
        if (row.tokens.empty()) return;
        for (const std::string& token : row.tokens) {
            double value = std::nan("");
            const bool ok = python_float(token, value);
            row.values.push_back(ok ? value : std::nan(""));
            row.numeric.push_back(ok);
        }
        rows.push_back(std::move(row));
    });
    return rows;
}

// The rows of a file with non-ASCII bytes, split and converted by Python (GIL held). False
// when the bytes are not UTF-8 text, which genfromtxt cannot read either.
inline bool python_rows(const std::string& bytes, std::vector<Row>& rows) {
    PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (!decoded) {
        PyErr_Clear();
        return false;
    }
    py::object text = py::reinterpret_steal<py::object>(decoded);  // only the check that it decodes
    py::object float_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type));
    for_each_line(bytes, [&](size_t number, std::string_view content) {
        py::str line = message_text(std::string(content));
        Row row;
        row.line = number;
        for (py::handle token : line.attr("split")()) {
            row.tokens.push_back(py::str(token).cast<std::string>());
            py::object value = py::reinterpret_steal<py::object>(PyObject_CallOneArg(float_type.ptr(), token.ptr()));
            if (value) {
                row.values.push_back(PyFloat_AS_DOUBLE(value.ptr()));
                row.numeric.push_back(true);
            } else {
                if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
                PyErr_Clear();
                row.values.push_back(std::nan(""));
                row.numeric.push_back(false);
            }
        }
        if (!row.tokens.empty()) rows.push_back(std::move(row));
    });
    return true;
}

// A number for messages: at most 6 significant digits (0.92, not 0.9199999999999999).
inline std::string number_text(double v) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 6);
    return ec == std::errc() ? std::string(buffer, end) : std::string("?");
}

// A box given as centre and size, relative to the image: its problems (outside, no area).
// `what` names the box in messages. Returns false when it has one.
inline bool check_relative_box(double xc, double yc, double w, double h, const std::string& file,
                               const std::string& where, const char* what, SampleFindings& out) {
    constexpr double eps = 1e-6;
    if (w <= 0 || h <= 0) {
        out.add(Severity::warning, "box-empty", file, where,
                std::string(what) + " has width " + number_text(w) + " and height " + number_text(h) +
                    ": it covers no area");
        return false;
    }
    const double x1 = xc - w / 2, x2 = xc + w / 2, y1 = yc - h / 2, y2 = yc + h / 2;
    if (x2 <= 0 || x1 >= 1 || y2 <= 0 || y1 >= 1) {
        out.add(Severity::warning, "box-outside", file, where,
                std::string(what) + " lies wholly outside the image: clipping leaves an empty box at the border");
        return false;
    }
    if (x1 < -eps || y1 < -eps || x2 > 1 + eps || y2 > 1 + eps) {
        out.add(Severity::warning, "box-outside", file, where,
                std::string(what) + " reaches outside the image (corners " + number_text(x1) + ", " + number_text(y1) +
                    " to " + number_text(x2) + ", " + number_text(y2) + "): it is clipped at the border");
        return false;
    }
    return true;
}

// A class id read as a float: the problem when it is not a whole number inside the class list.
// Returns the id, or -1.
inline int64_t check_class_id(double id, size_t num_classes, const std::string& file, const std::string& where,
                              SampleFindings& out) {
    if (id != std::floor(id)) {
        out.add(Severity::error, "class-not-integer", file, where, "class id " + number_text(id) + " is not a whole number");
        return -1;
    }
    if (id < 0 || id >= static_cast<double>(num_classes)) {
        out.add(Severity::error, "class-out-of-range", file, where,
                "class id " + number_text(id) + " is outside the " + std::to_string(num_classes) +
                    " classes of the description (0.." + std::to_string(num_classes == 0 ? 0 : num_classes - 1) + ")");
        return -1;
    }
    return static_cast<int64_t>(id);
}

// The dataset's rules over the rows of one label file.
inline void check_rows(const std::vector<Row>& rows, size_t num_classes, const std::string& file, SampleFindings& out) {
    static const char* const columns[5] = {"class", "x_center", "y_center", "width", "height"};
    std::vector<const Row*> seen;
    for (const Row& row : rows) {
        const std::string where = line_place(row.line);
        if (row.tokens.size() != 5) {
            out.add(Severity::error, "bad-line", file, where,
                    "holds " + std::to_string(row.tokens.size()) + " value" + (row.tokens.size() == 1 ? "" : "s") +
                        "; a Darknet line holds 5: class x_center y_center width height");
            continue;
        }
        ++out.objects;
        bool usable = true;
        for (size_t c = 0; c < 5; ++c) {
            if (!row.numeric[c]) {
                out.add(Severity::error, "not-a-number", file, where,
                        std::string(columns[c]) + " '" + row.tokens[c] + "' is not a number");
                usable = false;
            } else if (!std::isfinite(row.values[c])) {
                out.add(Severity::error, "non-finite", file, where,
                        std::string(columns[c]) + " '" + row.tokens[c] + "' is not a finite number");
                usable = false;
            }
        }
        if (!usable) continue;
        const int64_t id = check_class_id(row.values[0], num_classes, file, where, out);
        if (id >= 0) out.classes.push_back(id);
        check_relative_box(row.values[1], row.values[2], row.values[3], row.values[4], file, where, "the box", out);
        for (const Row* earlier : seen) {
            if (earlier->values == row.values) {
                out.add(Severity::warning, "duplicate-row", file, where,
                        "repeats line " + std::to_string(earlier->line) + ": the object is counted twice");
                break;
            }
        }
        seen.push_back(&row);
    }
}

}  // namespace scanner
