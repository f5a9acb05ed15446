// AttitudeDatasetJson: JSON annotations; each sample is cropped to its first face, resized,
// blurred and mirrored at random, and labelled with that face's angles.
#pragma once

#include <algorithm>

#include "common.hpp"

namespace attitude {

// Bounds of the first face box, clipped to the image so that a box reaching past an edge
// crops what lies inside the image (a negative slice bound would count from the far edge).
struct Crop {
    long x1, y1, x2, y2;
};

inline Crop clip_box(const std::vector<py::object>& box, long w, long h, const py::object& ann_path) {
    auto at = [&](size_t i, long hi) { return std::clamp(box[i].cast<long>(), 0L, hi); };
    Crop c{at(0, w), at(1, h), at(2, w), at(3, h)};
    if (c.x2 <= c.x1 || c.y2 <= c.y1)
        pykit::raise(PyExc_ValueError,
                     pykit::format("The first face box in {} selects no pixel of its {}x{} image: corners ({}, {}), ({}, {})",
                                   ann_path, w, h, box[0], box[1], box[2], box[3]));
    return c;
}

inline void build_json_dataset(py::module_& m, const std::string& module, const ImportsPtr& im,
                                const std::shared_ptr<Classes>& cls) {
    pykit::ClassBuilder(module, "AttitudeDatasetJson", py::make_tuple(*cls->base))
        .def("__init__",
             {arg("self"), arg("shape").ann(im->list_t).def(py::none()),
              arg("train_images").ann(im->str_t).def(py::none()),
              arg("train_annotations").ann(im->str_t).def(py::none()),
              arg("val_images").ann(im->str_t).def(py::none()),
              arg("val_annotations").ann(im->str_t).def(py::none())},
             [cls](py::object self, py::object shape, py::object train_images, py::object train_annotations,
                   py::object val_images, py::object val_annotations) {
                 pykit::super(*cls->json, self)
                     .attr("__init__")(py::arg("shape") = shape, py::arg("train_images") = train_images,
                                       py::arg("train_annotations") = train_annotations,
                                       py::arg("val_images") = val_images, py::arg("val_annotations") = val_annotations,
                                       py::arg("num_bins") = 66, py::arg("file_extension") = "json");
             })
        .def("_load_instance", {arg("self"), arg("data")},
             [im](py::object self, py::object data) -> py::object {
                 const py::object np = im->np, float32 = np.attr("float32");
                 py::object shape = self.attr("shape");
                 py::object ann_path = path_text(data[py::int_(1)]);
                 py::object img = im->Image.attr("open")(path_text(data[py::int_(0)])).attr("convert")("RGB");
                 if (draw(*im, "random_sample") < 0.05) img = img.attr("filter")(im->ImageFilter.attr("BLUR"));
                 img = np.attr("asarray")(img, py::arg("dtype") = np.attr("uint8"));
                 std::vector<py::object> hw = unpack(img.attr("shape"), 3);
                 py::object h = hw[0], w = hw[1];

                 py::object annotations = pykit::closing(im->open(ann_path), im->json.attr("load"));
                 py::object boxes = np.attr("asarray")(annotations.attr("get")("boxes", py::none()), py::arg("dtype") = float32);
                 py::object angles = np.attr("asarray")(annotations.attr("get")("angles", py::none()), py::arg("dtype") = float32);
                 if (pykit::len(boxes) == 0)
                     return py::make_tuple(resize_to_shape(*im, img, shape),
                                           np.attr("array")(list_of(0, 0, 0), py::arg("dtype") = float32));

                 // Centre and size, relative to the image, to pixel corners (truncated toward zero).
                 py::object xc = column(boxes, 0), yc = column(boxes, 1), half = py::float_(0.5);
                 py::object bw = column(boxes, 2) * half, bh = column(boxes, 3) * half;
                 boxes = np.attr("stack")(list_of((xc - bw) * w, (yc - bh) * h, (xc + bw) * w, (yc + bh) * h, column(boxes, 4)),
                                          py::arg("axis") = 1)
                             .attr("astype")(np.attr("int32"));

                 angles = np.attr("array")(angles[py::int_(0)], py::arg("dtype") = float32);
                 std::vector<py::object> p = unpack(angles, 3);
                 Crop c = clip_box(unpack(boxes[py::int_(0)], 5), w.cast<long>(), h.cast<long>(), ann_path);

                 img = img[py::make_tuple(py::slice(c.y1, c.y2, 1), py::slice(c.x1, c.x2, 1), py::ellipsis())];
                 img = resize_to_shape(*im, img, shape);
                 if (draw(*im, "random") < 0.5) {
                     p[2] = -p[2];
                     p[1] = -p[1];
                     img = im->cv2.attr("flip")(img, 1);
                     angles = np.attr("array")(list_of(p[0], p[1], p[2]), py::arg("dtype") = float32);
                 }
                 return py::make_tuple(img, angles);
             })
        .build(m, cls->json);
}

}  // namespace attitude
