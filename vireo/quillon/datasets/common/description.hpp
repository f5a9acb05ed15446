// Construction steps the detection datasets share: the dictionary variant of a dataset class
// (built from a loaded description instead of a file), the folder attributes the file variant
// resets, and the signature a class reports for its constructor.
#pragma once

#include <pykit.hpp>

#include <string>
#include <vector>

namespace datasets {
namespace py = pybind11;

// The annotations of the detection datasets' parameters (the argument type rule applies to
// str, list and dict).
struct Annotations {
    py::object str_t, list_t, dict_t, bool_t, int_t, tensor_t;
};

inline Annotations annotations(const py::object& tf) {
    py::object builtins = py::module_::import("builtins");
    return {builtins.attr("str"),  builtins.attr("list"), builtins.attr("dict"),
            builtins.attr("bool"), builtins.attr("int"),  tf.attr("Tensor")};
}

// The constructor parameters of both variants of a detection dataset: self, the description
// (`first`: a file path or a dictionary, default None), shape: list = None,
// letter_box: bool = True, add_bkg_class: bool = True, aug_cfg: dict = None.
inline std::vector<pykit::Param> constructor_params(const Annotations& t, const char* first,
                                                    const py::object& first_type) {
    using pykit::arg;
    py::object none = py::none(), yes = py::bool_(true);
    return {arg("self"),
            arg(first).ann(first_type).def(none),
            arg("shape").ann(t.list_t).def(none),
            arg("letter_box").ann(t.bool_t).def(yes),
            arg("add_bkg_class").ann(t.bool_t).def(yes),
            arg("aug_cfg").ann(t.dict_t).def(none)};
}

// The Args entries the constructors of both variants share, after the description's own.
inline const char* const kSharedConstructorArgs =
    R"doc(    shape (list): height, width and channels of the training samples.
    letter_box (bool): letterbox (keep the aspect ratio, pad) rather than plainly resize
        training samples.
    add_bkg_class (bool): reserve label 0 for a background class; labels are then the class
        index plus 1.
    aug_cfg (dict): augmentation configuration, kept for the base class.
)doc";

// The Raises entries of the two constructors themselves (the description is loaded after them).
inline const char* const kFileInitRaises = "    TypeError: an argument annotated str, list or dict has another type.\n";
inline const char* const kDictionaryInitRaises =
    "    TypeError: an argument annotated dict or list has another type.\n"
    "    AttributeError: ``info_dataset`` is None (it has no ``update``).\n";

// The documentation of a dataset class or its constructor: `text`, then the Args section (the
// description's entry `description_arg`, then the shared ones), then the Raises section's
// entries `raises`.
inline std::string constructor_doc(const char* text, const char* description_arg, const char* raises) {
    return std::string(text) + "\nArgs:\n    " + description_arg + "\n" + kSharedConstructorArgs + "\nRaises:\n" +
           raises;
}

// The dictionary variant's constructor:
//     self.info_dataset = info_dataset
//     self.info_dataset.update({"type": type})       # the caller's dictionary itself
//     super(cls, self).__init__(info_file=None, shape=shape, letter_box=letter_box,
//                               aug_cfg=aug_cfg, add_bkg_class=add_bkg_class)
inline void init_from_description(const py::object& cls, const py::object& self, const py::object& info_dataset,
                                  const char* type, const py::object& shape, const py::object& letter_box,
                                  const py::object& add_bkg_class, const py::object& aug_cfg) {
    self.attr("info_dataset") = info_dataset;
    py::dict marked;
    marked["type"] = py::str(type);
    self.attr("info_dataset").attr("update")(marked);
    pykit::super(cls, self).attr("__init__")(py::arg("info_file") = py::none(), py::arg("shape") = shape,
                                             py::arg("letter_box") = letter_box, py::arg("aug_cfg") = aug_cfg,
                                             py::arg("add_bkg_class") = add_bkg_class);
}

// The dictionary variant's validate_info_file: the description given to the constructor,
// whatever `info_file` holds (the base class passes None).
inline py::object stored_description(const py::object& self, const py::object& /*info_file*/) {
    return self.attr("info_dataset");
}

inline const char* const kStoredDescriptionDoc =
    R"doc(Returns the description given to the constructor, whatever ``info_file`` holds.

Args:
    info_file (str): ignored (the base class passes None).

Returns:
    The ``info_dataset`` dictionary.
)doc";

// The folder, image and annotation attributes, reset after the base constructor: seven to
// None, then val_annotations to a new empty list.
inline void reset_folder_attributes(const py::object& self) {
    for (const char* name : {"path_train_images", "path_train_annotations", "path_val_images", "path_val_annotations",
                             "train_images", "val_images", "train_annotations"})
        self.attr(name) = py::none();
    self.attr("val_annotations") = py::list();
}

// Gives `cls` the signature of its __init__ without `self`, so that inspect.signature(cls) and
// help(cls) show the constructor's parameters rather than the base metaclass's
// (*args, **kwargs).
inline void publish_constructor_signature(const py::object& cls) {
    py::object signature = cls.attr("__init__").attr("__signature__");
    py::list parameters = pykit::as_list(signature.attr("parameters").attr("values")());
    py::object without_self = parameters[py::slice(py::int_(1), py::none(), py::none())];
    cls.attr("__signature__") = signature.attr("replace")(py::arg("parameters") = without_self);
}

// The printed line for a folder of the description that does not exist (before the error that
// the split is empty), in the module's printed-line convention.
inline void report_missing_folder(const char* role, const py::object& folder) {
    pykit::print(pykit::format("\t - [WARNING]: {} folder {} was not found", role, folder));
}

}  // namespace datasets
