// The Python state that method bodies use (cached imports, the module's own classes, shared
// defaults), kept where the garbage collector can see it.
//
// A module declares its state as a struct deriving from `Captures`, with one `Ref` member per
// Python reference:
//
//     struct State : pykit::Captures {
//         pykit::Ref np{this}, tf{this}, DarknetDataset{this};
//     };
//
// `make_context<State>()` wraps a new State in a Python object (a "native context"). Every
// function of the module holds one reference to that object and hands the State to its body.
// The context reports its Refs to the collector, so a cycle such as class -> method -> context
// -> class is collected like the same cycle through a Python closure.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <utility>
#include <vector>

namespace pykit {
namespace py = pybind11;

class Captures;

// A Python reference owned by (and reported to the collector through) a Captures struct.
class Ref : public py::object {
public:
    explicit Ref(Captures* owner);
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref& other) {
        py::object::operator=(static_cast<const py::object&>(other));
        return *this;
    }
    Ref& operator=(const py::object& value) {
        py::object::operator=(value);
        return *this;
    }
    Ref& operator=(py::object&& value) {
        py::object::operator=(std::move(value));
        return *this;
    }
};

class Captures {
public:
    Captures() = default;
    Captures(const Captures&) = delete;
    Captures& operator=(const Captures&) = delete;
    virtual ~Captures() = default;

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* ref : refs_) Py_VISIT(ref->ptr());
        return 0;
    }
    // Drops every reference (the collector breaking a cycle).
    void clear() {
        for (Ref* ref : refs_) *ref = py::object();
    }

private:
    friend class Ref;
    std::vector<Ref*> refs_;
};

inline Ref::Ref(Captures* owner) { owner->refs_.push_back(this); }

namespace detail {

struct ContextObject {
    PyObject_HEAD
    Captures* state;
};

inline ContextObject* as_context(PyObject* o) { return reinterpret_cast<ContextObject*>(o); }

inline int context_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Captures* state = as_context(self)->state;
    return state ? state->traverse(visit, arg) : 0;
}

inline int context_clear(PyObject* self) {
    if (Captures* state = as_context(self)->state) state->clear();
    return 0;
}

inline void context_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    delete as_context(self)->state;  // drops its references
    as_context(self)->state = nullptr;
    Py_TYPE(self)->tp_free(self);
}

inline PyTypeObject* context_type() {
    static PyTypeObject* type = [] {
        static PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "vireo.native_context";
        t.tp_basicsize = sizeof(ContextObject);
        t.tp_dealloc = context_dealloc;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        t.tp_doc = "The Python state shared by the native functions of one module.";
        t.tp_traverse = context_traverse;
        t.tp_clear = context_clear;
        if (PyType_Ready(&t) < 0) throw py::error_already_set();
        return &t;
    }();
    return type;
}

}  // namespace detail

// A context object and the state inside it. The object keeps the state alive.
template <class State>
struct Context {
    py::object object;
    State* state = nullptr;

    State& operator*() const { return *state; }
    State* operator->() const { return state; }
};

template <class State>
Context<State> make_context() {
    static_assert(std::is_base_of_v<Captures, State>, "pykit: a context's state derives from pykit::Captures");
    auto state = std::make_unique<State>();
    auto* object = PyObject_GC_New(detail::ContextObject, detail::context_type());
    if (!object) throw py::error_already_set();
    object->state = nullptr;
    py::object owner = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(object));
    object->state = state.release();
    PyObject_GC_Track(object);
    return Context<State>{std::move(owner), static_cast<State*>(object->state)};
}

inline bool is_context(py::handle h) { return h && Py_TYPE(h.ptr()) == detail::context_type(); }

// The state inside a context object (null when the collector has cleared it).
inline Captures* context_state(py::handle h) { return is_context(h) ? detail::as_context(h.ptr())->state : nullptr; }

}  // namespace pykit
