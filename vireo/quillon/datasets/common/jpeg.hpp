// JPEG files decoded natively, for the files where that gives exactly what Pillow gives.
//
// `np.asarray(Image.open(path).convert("RGB"))` of a JPEG costs Pillow's marker parsing in
// Python, a decode into four bytes a pixel in chunks, and a copy: most of it under the
// interpreter's lock, so two loader threads hardly overlap. Pillow decodes with libjpeg(-turbo)
// at its defaults (accurate integer IDCT, smooth upsampling); so does this file, with the lock
// released, straight into the H x W x 3 array.
//
// Only the plain cases take this way: 8-bit baseline or progressive JPEG of one (grey) or three
// (YCbCr or RGB) components, within Pillow's pixel limit, no multi-picture (MPO) index, and a
// decode that ends without any warning from the library (truncated data, corrupt segments,
// ...). Everything else (other files, CMYK, damaged data, unreadable paths) returns nothing and
// the caller opens the file with Pillow, which then gives its own pixels or its own error.
#pragma once

#include <jpeglib.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "imports.hpp"

namespace datasets {
namespace py = pybind11;

namespace jpeg {

// libjpeg reports a fatal error through error_exit, which must not return: it jumps back to
// the setjmp of the step that was running. Warnings only set a flag.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf escape;
    bool warned = false;
};

inline void on_error(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1); }

inline void on_message(j_common_ptr info, int level) {
    if (level < 0) reinterpret_cast<ErrorManager*>(info->err)->warned = true;
}

inline void on_output(j_common_ptr) {}

// The whole file, or nothing when it cannot be read or does not start as a JPEG does.
inline bool read_jpeg_file(const char* path, std::vector<uint8_t>& bytes) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "rb"), &std::fclose);
    if (!file) return false;
    uint8_t start[3];
    if (std::fread(start, 1, 3, file.get()) != 3 || start[0] != 0xFF || start[1] != 0xD8 || start[2] != 0xFF)
        return false;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return false;
    const long size = std::ftell(file.get());
    if (size < 3 || std::fseek(file.get(), 0, SEEK_SET) != 0) return false;
    bytes.resize(static_cast<size_t>(size));
    return std::fread(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

// One decode. The steps that may jump back (read_header, decode) hold no object with a
// destructor between their setjmp and the library's calls.
class Decoder {
public:
    explicit Decoder(const std::vector<uint8_t>& bytes) : bytes_(bytes) {
        info_.err = jpeg_std_error(&errors_.pub);
        errors_.pub.error_exit = &on_error;
        errors_.pub.emit_message = &on_message;
        errors_.pub.output_message = &on_output;
    }
    ~Decoder() {
        if (created_) jpeg_destroy_decompress(&info_);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // True when the header is read and the picture is one of the plain cases.
    bool read_header() {
        if (setjmp(errors_.escape)) return false;
        created_ = true;  // destroying a zeroed or half-made decompressor is safe
        jpeg_create_decompress(&info_);
        jpeg_mem_src(&info_, bytes_.data(), static_cast<unsigned long>(bytes_.size()));
        jpeg_save_markers(&info_, JPEG_APP0 + 2, 0xFFFF);
        if (jpeg_read_header(&info_, TRUE) != JPEG_HEADER_OK || errors_.warned) return false;
        for (jpeg_saved_marker_ptr marker = info_.marker_list; marker; marker = marker->next)
            if (marker->data_length >= 4 && std::memcmp(marker->data, "MPF\0", 4) == 0) return false;
        const bool grey = info_.num_components == 1 && info_.jpeg_color_space == JCS_GRAYSCALE;
        const bool colour = info_.num_components == 3 &&
                            (info_.jpeg_color_space == JCS_YCbCr || info_.jpeg_color_space == JCS_RGB);
        if (!(grey || colour) || info_.data_precision != 8) return false;
        if (info_.image_width == 0 || info_.image_height == 0) return false;
        info_.out_color_space = JCS_RGB;  // grey is repeated into the three channels, as convert("RGB") does
        info_.dct_method = JDCT_ISLOW;
        info_.do_fancy_upsampling = TRUE;
        info_.scale_num = info_.scale_denom = 1;
        return true;
    }

    unsigned width() const { return info_.image_width; }
    unsigned height() const { return info_.image_height; }

    // The pixels into `out` (height rows of width x 3 bytes); false on any error or warning.
    bool decode(uint8_t* out) {
        if (setjmp(errors_.escape)) return false;
        jpeg_start_decompress(&info_);
        if (info_.output_width != info_.image_width || info_.output_height != info_.image_height ||
            info_.output_components != 3)
            return false;
        const size_t row_bytes = static_cast<size_t>(info_.output_width) * 3;
        while (info_.output_scanline < info_.output_height) {
            JSAMPROW row = out + info_.output_scanline * row_bytes;
            if (jpeg_read_scanlines(&info_, &row, 1) != 1) return false;
        }
        jpeg_finish_decompress(&info_);
        return !errors_.warned;
    }

private:
    const std::vector<uint8_t>& bytes_;
    jpeg_decompress_struct info_{};
    ErrorManager errors_;
    bool created_ = false;
};

}  // namespace jpeg

// The H x W x 3 RGB pixels of the JPEG file at `path` (a str), or an empty object when the
// file is not one of the plain cases; `image_module` is PIL.Image, whose pixel limit applies.
inline py::object read_plain_jpeg(const py::handle& path, const py::object& image_module) {
    const std::optional<std::string> name = filesystem_name(path);
    if (!name) return py::object();

    std::vector<uint8_t> bytes;
    jpeg::Decoder decoder(bytes);
    bool plain;
    {
        py::gil_scoped_release nogil;
        plain = jpeg::read_jpeg_file(name->c_str(), bytes) && decoder.read_header();
    }
    if (!plain) return py::object();
    const py::ssize_t width = decoder.width(), height = decoder.height();
    // Past Pillow's limit it warns or refuses: it says so itself.
    py::object limit = image_module.attr("MAX_IMAGE_PIXELS");
    if (!limit.is_none() && pykit::holds(py::int_(width * height), limit, Py_GT)) return py::object();

    py::array_t<uint8_t> pixels({height, width, (py::ssize_t)3});
    uint8_t* out = pixels.mutable_data();
    {
        py::gil_scoped_release nogil;
        plain = decoder.decode(out);
    }
    if (!plain) return py::object();
    return std::move(pixels);
}

}  // namespace datasets
