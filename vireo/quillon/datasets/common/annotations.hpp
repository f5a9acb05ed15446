// Native reading of Darknet annotation files, matching np.genfromtxt(path) with its defaults.
//
// genfromtxt splits lines at white space, drops everything after '#', skips lines without
// values and converts every value with Python's float(). This reader does the same for the
// files it can be sure about: ASCII text whose values are plain decimal numbers in double
// range. For anything else it reports the table as not converted and the caller hands the
// file to np.genfromtxt itself, which then gives its own values or errors.
#pragma once

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace datasets {

struct Table {
    std::vector<double> values;  // row-major, rows x cols
    std::vector<size_t> lines;   // per row: its line number in the file, from 1
    size_t rows = 0;             // lines holding at least one value
    size_t cols = 0;             // values on the first such line
    bool ascii = true;           // only ASCII bytes: rows and cols are exact
    bool ragged = false;         // a line with another number of values than the first
    bool converted = true;       // every value is a plain decimal number in double range

    // True when `values` is exactly what np.genfromtxt returns.
    bool complete() const { return ascii && !ragged && converted; }
};

// Reads a whole file; false when it cannot be opened or read.
inline bool read_file(const char* path, std::string& out) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    char buffer[8192];
    size_t n;
    bool ok = true;
    out.clear();
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    if (std::ferror(f)) ok = false;
    std::fclose(f);
    return ok;
}

namespace detail {

// Moves `i` past the digits of `token` that start there; returns how many there were.
inline size_t skip_digits(std::string_view token, size_t& i) {
    const size_t start = i;
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') ++i;
    return i - start;
}

// The ASCII white space of str.split() other than line ends.
inline bool is_blank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || (c >= 0x1c && c <= 0x1f);
}

inline bool ends_token(unsigned char c) { return c == '\n' || c == '\r' || c == '#' || is_blank(c); }

// Files the values counted on the current line as a row of `table`.
struct RowCounter {
    Table& table;
    size_t values = 0;  // on the current line
    size_t line = 1;

    void end_line() {
        if (values > 0) {
            if (table.rows == 0) table.cols = values;
            else if (values != table.cols) table.ragged = true;
            ++table.rows;
            table.lines.push_back(line);
        }
        values = 0;
        ++line;
    }
};

}  // namespace detail

// A decimal number as float() reads it: [+-](digits[.digits]|.digits)[(e|E)[+-]digits].
// Anything float() also accepts beyond that (inf, nan, '_' separators) is left to genfromtxt.
inline bool parse_number(std::string_view token, double& value) {
    size_t i = 0;
    const size_t n = token.size();
    if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
    size_t mantissa = detail::skip_digits(token, i);
    if (i < n && token[i] == '.') {
        ++i;
        mantissa += detail::skip_digits(token, i);
    }
    if (mantissa == 0) return false;
    if (i < n && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
        if (detail::skip_digits(token, i) == 0) return false;
    }
    if (i != n) return false;
    const char* first = token.data() + (token[0] == '+' ? 1 : 0);  // from_chars refuses '+'
    auto [end, ec] = std::from_chars(first, token.data() + n, value);
    // Out of range (overflow to inf, underflow to 0) is rounded by float(); leave it to it.
    return ec == std::errc() && end == token.data() + n;
}

// Splits `text` into the rows genfromtxt sees: line ends are '\n', '\r' and "\r\n" (universal
// newlines), separators are the ASCII white space of str.split(), '#' starts a comment.
//
// A byte above 0x7f (text that the locale's codec decodes) marks the table as not ASCII: the
// caller then leaves the file to genfromtxt, and rows and lines are only a byte-wise guess.
inline Table parse_table(std::string_view text) {
    Table table;
    detail::RowCounter rows{table};
    bool comment = false;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const unsigned char c = (unsigned char)text[i];
        if (c >= 0x80) table.ascii = false;
        if (c == '\n' || c == '\r') {
            rows.end_line();
            comment = false;
            i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
        } else if (comment || detail::is_blank(c)) {
            ++i;
        } else if (c == '#') {
            comment = true;
            ++i;
        } else {
            const size_t start = i;
            while (i < n && !detail::ends_token((unsigned char)text[i])) ++i;
            double value = 0.0;
            if (parse_number(text.substr(start, i - start), value)) table.values.push_back(value);
            else table.converted = false;
            ++rows.values;
        }
    }
    rows.end_line();
    return table;
}

}  // namespace datasets
