// Reading one Darknet annotation file: np.genfromtxt(path) (natively for plain files), then
// the checks that keep a broken file from reaching training: five values per line, every value
// a finite number, every class id an index of the description's classes.
#pragma once

#include <pybind11/numpy.h>
#include <pykit.hpp>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/annotations.hpp"
#include "common/boxes.hpp"
#include "state.hpp"

namespace darknet {
namespace py = pybind11;

// What np.genfromtxt(path) returned, and what the native reader learnt on the way.
struct AnnotationTable {
    py::object values;          // the array genfromtxt returns
    long columns = -1;          // values per line, when the native reader counted them
    std::vector<size_t> lines;  // per row, its line in the file (when counted)
};

// The array np.genfromtxt gives for a table the native reader converted completely: axes of
// length 1 squeezed, shape (0,) for a file without values.
inline py::object table_array(const datasets::Table& table) {
    std::vector<py::ssize_t> shape;
    if (table.rows == 0) shape.push_back(0);
    if (table.rows > 1) shape.push_back((py::ssize_t)table.rows);
    if (table.rows > 0 && table.cols != 1) shape.push_back((py::ssize_t)table.cols);
    py::array_t<double> out(shape);
    if (!table.values.empty())
        std::memcpy(out.mutable_data(), table.values.data(), table.values.size() * sizeof(double));
    return std::move(out);
}

// np.genfromtxt(path) inside warnings.catch_warnings() with simplefilter("ignore"): it warns
// about empty files, which is not for the user.
inline py::object genfromtxt_quietly(const State& s, const py::object& path) {
    py::object result;
    pykit::with(s.warnings.attr("catch_warnings")(), [&] {
        s.warnings.attr("simplefilter")("ignore");
        result = s.np.attr("genfromtxt")(path);
    });
    return result;
}

// np.genfromtxt(path), read natively (without the GIL) when the file is plain ASCII numbers.
inline AnnotationTable read_table(const State& s, const py::object& path) {
    AnnotationTable out;
    if (!PyUnicode_Check(path.ptr())) {  // genfromtxt's own error for what is not a path
        out.values = genfromtxt_quietly(s, path);
        return out;
    }
    py::str text_path = py::reinterpret_borrow<py::str>(path);
    datasets::refuse_nul(text_path);
    py::bytes encoded = py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded) throw py::error_already_set();
    std::string file = encoded;
    datasets::Table table;
    bool read = false;
    {
        py::gil_scoped_release nogil;
        std::string text;
        read = datasets::read_file(file.c_str(), text);
        if (read) table = datasets::parse_table(text);
    }
    out.columns = read && table.ascii && table.rows > 0 ? (long)table.cols : -1;
    out.lines = std::move(table.lines);
    out.values = read && table.complete() ? table_array(table) : genfromtxt_quietly(s, path);
    return out;
}

// ", line N" for row `row` of a table of `rows` rows, or ", object N" when the lines were not
// counted for exactly these rows.
inline std::string where(const AnnotationTable& table, size_t row, size_t rows) {
    if (table.lines.size() == rows) return ", line " + std::to_string(table.lines[row]);
    return ", object " + std::to_string(row + 1);
}

// A class id as written: 3 rather than 3.0.
inline py::object class_id_text(double id) {
    if (std::isfinite(id) && std::floor(id) == id && std::fabs(id) < 1e15) return py::int_((long long)id);
    return py::float_(id);
}

// Refuses NaN and infinite values, and class ids (column 0) that are not an index of the
// description's classes, naming the file and line.
inline void check_values(const py::object& self, const AnnotationTable& table, const py::object& rows,
                         const py::str& path) {
    datasets::Doubles values = datasets::as_doubles(rows, "annotation values");
    const size_t count = (size_t)values.shape(0);
    py::ssize_t bad = datasets::first_not_finite(values);
    if (bad >= 0) {
        const double value = values.data()[bad];
        const char* what = std::isnan(value) ? "a value is not a number" : "a value is not finite";
        pykit::raise(PyExc_ValueError, pykit::format("[ERROR]: Invalid annotation file {}{}: {}", path,
                                                     where(table, (size_t)bad / 5, count), what));
    }
    const long long classes = datasets::described_classes(self);
    bad = datasets::first_foreign_class(values, 5, classes);
    if (bad >= 0)
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: Invalid annotation file {}{}: class id {} is not an index of the {} "
                                   "classes",
                                   path, where(table, (size_t)bad, count), class_id_text(values.data()[bad * 5]),
                                   classes));
}

// The objects of one annotation file as rows of x, y, w, h, class (float64, N x 5), or None
// when the sample has none (no file, or a file without values).
// read_table, with genfromtxt's UnicodeDecodeError (bytes that are not text) turned into an
// error naming the file.
inline AnnotationTable read_text_table(const State& s, const py::str& path) {
    try {
        return read_table(s, path);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeDecodeError)) throw;
        py::raise_from(error, PyExc_ValueError,
                       std::string(pykit::format("[ERROR]: Invalid annotation file {}: not text ({})", path,
                                                 error.value())).c_str());
        throw py::error_already_set();
    }
}

inline py::object read_objects(const State& s, const py::object& self, const py::str& path) {
    datasets::refuse_nul(path);
    if (!pykit::truthy(s.exists(path))) return py::none();
    AnnotationTable table = read_text_table(s, path);
    py::tuple shape = table.values.attr("shape");
    long columns = table.columns;
    if (shape.size() == 0) columns = 1;  // a single value: a 0-d array, which has no length
    if (columns < 0 && pykit::len(table.values) == 0) return py::none();
    // Another count than the five Darknet values would shift columns into the wrong places (or
    // lose the label) without any error.
    if (columns < 0) columns = py::int_(shape[shape.size() - 1]).cast<long>();
    if (columns != 5)
        pykit::raise(PyExc_ValueError,
                     pykit::format("[ERROR]: Invalid annotation file {}: each line must hold 5 values (class x_center "
                                   "y_center width height), found {}",
                                   path, columns));
    py::object rows = shape.size() == 1 ? s.np.attr("expand_dims")(table.values, 0) : table.values;
    check_values(self, table, rows, path);
    return s.np.attr("roll")(rows, 4, py::arg("axis") = 1);
}

// The module function _read_annotations(path): np.genfromtxt(path) as load_instance reads it.
inline py::object read_annotations(const State& s, const py::object& path) { return read_table(s, path).values; }

}  // namespace darknet
