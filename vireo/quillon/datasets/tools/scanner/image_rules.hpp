// The findings about one image: whether the readers can open and decode it, and the
// modes they convert silently (16 bits, grey, alpha, CMYK, EXIF rotation).
//
// The header is read natively (no GIL). Pillow, the datasets' own reader, is asked only
// where the header cannot tell: formats other than PNG and JPEG, and full decoding on request.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

#include "findings.hpp"
#include "image_header.hpp"
#include "state.hpp"

namespace scanner {

struct ImageOptions {
    bool decode = false;            // decode every image fully instead of reading headers
    bool truncated_loads = false;   // the dataset sets ImageFile.LOAD_TRUNCATED_IMAGES (Darknet)
    int64_t max_pixels = 0;         // Image.MAX_IMAGE_PIXELS (0: no limit)
};

// Width and height of an image as read, or -1 when unknown.
struct ImageSize {
    int64_t width = -1, height = -1;
};

// The modes a reader converts without a word.
struct ModeInfo {
    bool sixteen_bit = false, grey = false, alpha = false, cmyk = false;
};

inline void mode_findings(const ModeInfo& mode, const std::string& file, SampleFindings& out) {
    if (mode.sixteen_bit)
        out.add(Severity::note, "image-16-bit", file, "", "16-bit samples: reduced to 8 bits when read");
    if (mode.grey) out.add(Severity::note, "image-grey", file, "", "grey image: read as RGB with three equal channels");
    if (mode.alpha)
        out.add(Severity::note, "image-alpha", file, "",
                "alpha channel: dropped when read, transparent pixels keep their stored colour");
    if (mode.cmyk) out.add(Severity::note, "image-cmyk", file, "", "CMYK JPEG: converted to RGB when read");
}

inline void orientation_finding(int orientation, const std::string& file, const std::string& where, SampleFindings& out) {
    if (orientation <= 1 || orientation > 8) return;
    static const char* const shown[9] = {"", "", "mirrored", "rotated 180 degrees", "mirrored vertically",
                                         "mirrored and rotated 90 degrees", "rotated 90 degrees clockwise",
                                         "mirrored and rotated 90 degrees", "rotated 90 degrees counter-clockwise"};
    out.add(Severity::note, "image-exif-rotated", file, where,
            "EXIF orientation " + std::to_string(orientation) + " (viewers show it " + shown[orientation] +
                "): the readers use the stored pixels, unrotated, so its annotations must describe the stored picture");
}

inline void size_findings(int64_t width, int64_t height, const ImageOptions& options, const std::string& file,
                          SampleFindings& out) {
    if (options.max_pixels <= 0) return;
    const double pixels = static_cast<double>(width) * static_cast<double>(height);
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (pixels > 2.0 * static_cast<double>(options.max_pixels))
        out.add(Severity::error, "image-too-large", file, "",
                size + " pixels: Pillow refuses images above twice Image.MAX_IMAGE_PIXELS as decompression bombs");
    else if (pixels > static_cast<double>(options.max_pixels))
        out.add(Severity::warning, "image-too-large", file, "",
                size + " pixels: above Image.MAX_IMAGE_PIXELS, Pillow warns of a decompression bomb");
}

inline void truncated_finding(const ImageOptions& options, const std::string& file, const std::string& detail,
                              SampleFindings& out) {
    if (options.truncated_loads)
        out.add(Severity::warning, "image-truncated", file, "",
                detail + ": the Darknet dataset decodes it anyway (ImageFile.LOAD_TRUNCATED_IMAGES), the missing part filled in");
    else
        out.add(Severity::error, "image-truncated", file, "", detail + ": the reader fails on it");
}

inline bool open_findings(int open_error, const std::string& file, SampleFindings& out) {
    if (open_error == 0) return false;
    if (open_error == ENOENT)
        out.add(Severity::error, "image-missing", file, "", "the image file does not exist");
    else
        out.add(Severity::error, "image-unreadable", file, "", "cannot be read: " + errno_text(open_error));
    return true;
}

// The findings a parsed PNG or JPEG header gives.
inline void header_findings(const ImageHeader& h, const ImageOptions& options, bool with_truncation,
                            const std::string& file, SampleFindings& out) {
    if (!h.broken.empty()) {
        out.add(Severity::error, "image-unreadable", file, "", h.broken);
        return;
    }
    if (with_truncation && h.truncated) truncated_finding(options, file, "the image data stops before its end", out);
    if (with_truncation && h.end_unconfirmed)
        out.add(Severity::warning, "image-truncated", file, "",
                "the PNG has no end chunk (IEND): it may be cut short (--decode tells)");
    if (h.format == ImageFormat::jpeg && h.bit_depth != 8)
        out.add(Severity::warning, "image-12-bit", file, "",
                std::to_string(h.bit_depth) + "-bit JPEG: many readers cannot decode it (--decode tells)");
    size_findings(h.width, h.height, options, file, out);
    ModeInfo mode;
    mode.sixteen_bit = h.format == ImageFormat::png && h.bit_depth == 16;
    mode.grey = h.channels == 1;
    mode.alpha = h.alpha;
    mode.cmyk = h.format == ImageFormat::jpeg && h.channels == 4;
    mode_findings(mode, file, out);
    orientation_finding(h.orientation, file, "", out);
}

inline ModeInfo pillow_mode(const std::string& mode, bool transparency) {
    ModeInfo m;
    m.sixteen_bit = mode.rfind("I;16", 0) == 0 || mode == "I";
    m.grey = mode == "L" || mode == "LA" || mode == "1" || m.sixteen_bit || mode == "F";
    m.alpha = mode == "RGBA" || mode == "LA" || mode == "PA" || mode == "La" || mode == "RGBa" || transparency;
    m.cmyk = mode == "CMYK";
    return m;
}

// Pillow's verdict (GIL taken here): opens the image, and with `decode` loads its pixels and
// converts them to RGB as the readers do. Fills `size`; adds the findings.
inline void pillow_findings(const State& s, const std::string& path, const ImageOptions& options, bool with_modes,
                            ImageSize& size, SampleFindings& out) {
    py::gil_scoped_acquire gil;
    try {
        py::object image = s.Image.attr("open")(fs_text(path));
        pykit::closing(image, [&](const py::object& picture) {
            py::tuple wh = picture.attr("size");
            size.width = wh[0].cast<int64_t>();
            size.height = wh[1].cast<int64_t>();
            const std::string mode = py::str(picture.attr("mode"));
            const bool transparency = pykit::contains(picture.attr("info"), py::str("transparency"));
            if (options.decode) {
                picture.attr("load")();
                if (mode != "RGB") picture.attr("convert")("RGB");
            }
            if (with_modes) {
                size_findings(size.width, size.height, options, path, out);
                mode_findings(pillow_mode(mode, transparency), path, out);
            }
        });
    } catch (py::error_already_set& e) {
        const std::string text = py::str(e.value()).cast<std::string>();
        const std::string type = py::str(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(e.value().ptr()))).attr("__name__"));
        if (text.find("truncated") != std::string::npos)
            truncated_finding(options, path, "Pillow: " + text, out);
        else if (type == "DecompressionBombError")
            out.add(Severity::error, "image-too-large", path, "", "Pillow: " + text);
        else
            out.add(Severity::error, "image-unreadable", path, "", "Pillow: " + type + ": " + text);
    }
}

// Every finding about the image at `path`; returns its size (-1 when it cannot be read).
// Runs on a worker thread without the GIL; Pillow is called with it.
inline ImageSize check_image(const State& s, const std::string& path, const ImageOptions& options, SampleFindings& out) {
    ImageSize size;
    const ImageHeader h = inspect_image_file(path);
    if (open_findings(h.open_error, path, out)) return size;
    if (h.parsed || !h.broken.empty()) {
        // With --decode Pillow judges truncation and readability; the header still tells the modes.
        if (!options.decode || !h.broken.empty()) {
            header_findings(h, options, true, path, out);
            if (h.broken.empty()) size = ImageSize{h.width, h.height};
            return size;
        }
        const size_t before = out.findings.size();
        pillow_findings(s, path, options, false, size, out);
        if (out.findings.size() == before) header_findings(h, options, false, path, out);
        return size;
    }
    pillow_findings(s, path, options, true, size, out);
    return size;
}

// ImageFile.LOAD_TRUNCATED_IMAGES off while a scan decodes, so that truncation shows; the
// previous value comes back afterwards. GIL held.
class StrictTruncation {
public:
    StrictTruncation(const State& s, bool active) : image_file_(s.ImageFile), active_(active) {
        if (!active_) return;
        previous_ = image_file_.attr("LOAD_TRUNCATED_IMAGES");
        image_file_.attr("LOAD_TRUNCATED_IMAGES") = py::bool_(false);
    }
    StrictTruncation(const StrictTruncation&) = delete;
    StrictTruncation& operator=(const StrictTruncation&) = delete;
    ~StrictTruncation() {
        if (!active_) return;
        try {
            image_file_.attr("LOAD_TRUNCATED_IMAGES") = previous_;
        } catch (py::error_already_set&) {
        }
    }

private:
    py::object image_file_;
    py::object previous_;
    bool active_;
};

}  // namespace scanner
