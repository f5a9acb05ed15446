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

// A decimal number as float() reads it: [+-](digits[.digits]|.digits)[(e|E)[+-]digits].
// Anything float() also accepts beyond that (inf, nan, '_' separators) is left to genfromtxt.
inline bool parse_number(std::string_view token, double& value) {
    size_t i = 0, n = token.size();
    auto digits = [&] {
        size_t start = i;
        while (i < n && token[i] >= '0' && token[i] <= '9') ++i;
        return i - start;
    };
    if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
    size_t mantissa = digits();
    if (i < n && token[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return false;
    if (i < n && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    if (i != n) return false;
    const char* first = token.data() + (token[0] == '+' ? 1 : 0);  // from_chars refuses '+'
    auto [end, ec] = std::from_chars(first, token.data() + n, value);
    // Out of range (overflow to inf, underflow to 0) is rounded by float(); leave it to it.
    return ec == std::errc() && end == token.data() + n;
}

// Splits `text` into the rows genfromtxt sees: line ends are '\n' and '\r' (universal
// newlines), separators are the ASCII white space of str.split().
//
// A byte above 0x7f (text that the locale's codec decodes) marks the table as not ASCII: the
// caller then leaves the file to genfromtxt, and rows and lines are only a byte-wise guess.
inline Table parse_table(std::string_view text) {
    Table table;
    size_t line_values = 0, line = 1;
    bool comment = false;
    auto end_line = [&] {
        if (line_values > 0) {
            if (table.rows == 0) table.cols = line_values;
            else if (line_values != table.cols) table.ragged = true;
            ++table.rows;
            table.lines.push_back(line);
        }
        line_values = 0;
        comment = false;
        ++line;
    };
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const unsigned char c = (unsigned char)text[i];
        if (c >= 0x80) table.ascii = false;
        if (c == '\n' || c == '\r') {
            end_line();
            i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2 : 1;  // "\r\n" ends one line
        } else if (comment || c == ' ' || c == '\t' || c == '\v' || c == '\f' || (c >= 0x1c && c <= 0x1f)) {
            ++i;
        } else if (c == '#') {
            comment = true;
            ++i;
        } else {
            size_t start = i;
            while (i < n) {
                const unsigned char d = (unsigned char)text[i];
                if (d == '\n' || d == '\r' || d == '#' || d == ' ' || d == '\t' || d == '\v' || d == '\f' ||
                    (d >= 0x1c && d <= 0x1f))
                    break;
                ++i;
            }
            double value = 0.0;
            if (parse_number(text.substr(start, i - start), value)) table.values.push_back(value);
            else table.converted = false;
            ++line_values;
        }
    }
    end_line();
    return table;
}

}  // namespace datasets
