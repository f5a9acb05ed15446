// The module's Python state: the imports its scans use.
#pragma once

#include <pybind11/stl.h>
#include <pykit.hpp>

namespace scanner {

struct State : pykit::Captures {
    pykit::Ref Image{this}, ImageFile{this};  // from PIL import Image, ImageFile
    pykit::Ref json{this};
    pykit::Ref io{this};
    pykit::Ref np{this};
    pykit::Ref os_path{this};
    // Imported at first use: they load slowly and only some dataset formats need them.
    pykit::Ref loadmat{this};  // scipy.io.loadmat
    pykit::Ref tf{this};       // tensorflow
};

inline const pybind11::object& scipy_loadmat(State& s) {
    if (!s.loadmat) s.loadmat = pykit::import_from("scipy.io", "loadmat");
    return s.loadmat;
}

inline const pybind11::object& tensorflow(State& s) {
    if (!s.tf) s.tf = pybind11::module_::import("tensorflow");
    return s.tf;
}

}  // namespace scanner
