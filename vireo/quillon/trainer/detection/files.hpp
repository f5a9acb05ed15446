// Files the trainer replaces (checkpoints, summary.csv): written to a temporary beside the
// target and renamed over it, so an interrupted write never leaves a half-written file in its
// place; and the removal of temporaries that a killed process left behind.
#pragma once

#include <algorithm>
#include <string>

#include "common.hpp"

namespace detection {

// Removes a file; one that is already gone (or cannot be removed) is left alone.
inline void remove_quietly(const State& s, const py::handle& path) {
    try {
        s.os.attr("remove")(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

// A temporary file named `<target>.tmp-<pid>-<8 hex digits><suffix>` in the target's folder
// (so the final rename is atomic; Keras picks the HDF5 format from a ".h5" suffix). commit()
// flushes it to the disk and renames it over the target; without a commit it is removed.
class TemporaryFile {
public:
    TemporaryFile(const State& s, const py::object& target, const char* suffix) : s_(s), target_(target) {
        py::object token = s.os.attr("urandom")(4).attr("hex")();
        path_ = pykit::format("{}.tmp-{}-{}{}", target, s.os.attr("getpid")(), token, suffix);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (committed_) return;
        try {
            remove_quietly(s_, path_);
        } catch (py::error_already_set&) {
            // Already unwinding from the write's own error, which is the one to report.
        }
    }

    const py::object& path() const { return path_; }

    void commit() {
        py::object os = s_.os;
        py::object fd = os.attr("open")(path_, os.attr("O_RDWR"));
        try {
            os.attr("fsync")(fd);
        } catch (py::error_already_set&) {
            os.attr("close")(fd);
            throw;
        }
        os.attr("close")(fd);
        os.attr("replace")(path_, target_);
        committed_ = true;
    }

private:
    const State& s_;
    py::object target_;
    py::object path_;
    bool committed_ = false;
};

// The process id in `name` when it is one of the trainer's temporaries ("best.h5.tmp-<pid>-
// <hex>.h5", "last.h5.tmp-...", "summary.csv.tmp-<pid>-<hex>"); -1 for one of the earlier
// form without a process id ("last.h5.tmp-<hex>.h5"); -2 for any other name.
inline long long temporary_owner(const std::string& name) {
    struct Kind {
        const char* target;
        const char* suffix;
    };
    static const Kind kinds[] = {{"best.h5", ".h5"}, {"last.h5", ".h5"}, {"summary.csv", ""}};
    auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    auto is_hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    for (const Kind& kind : kinds) {
        const std::string prefix = std::string(kind.target) + ".tmp-", suffix = kind.suffix;
        if (name.size() < prefix.size() + 8 + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        const size_t dash = middle.find('-');
        const std::string pid = dash == std::string::npos ? "" : middle.substr(0, dash);
        const std::string token = dash == std::string::npos ? middle : middle.substr(dash + 1);
        if (token.size() != 8 || !std::all_of(token.begin(), token.end(), is_hex)) continue;
        if (dash == std::string::npos) return -1;
        if (pid.empty() || pid.size() > 18 || !std::all_of(pid.begin(), pid.end(), is_digit)) continue;
        return std::stoll(pid);
    }
    return -2;
}

// Whether a process `pid` other than this one runs now (it may be writing that temporary).
// This process writes its own temporaries one at a time and commits or removes each before
// the next step, so one of its own id found here was left by an earlier process of that id.
inline bool another_process_runs(const State& s, long long pid) {
    py::object os = s.os;
    if (pykit::equals(os.attr("getpid")(), py::int_(pid))) return false;
    try {
        os.attr("kill")(pid, 0);
        return true;
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ProcessLookupError) || e.matches(PyExc_OverflowError)) return false;
        if (e.matches(PyExc_OSError)) return true;  // e.g. PermissionError: it runs, as someone else
        throw;
    }
}

// Removes, from `folder`, the trainer's temporaries whose writing process is gone: what a
// kill during a save leaves behind. Other files are never touched.
inline void remove_stale_temporaries(const State& s, const py::object& folder) {
    py::object names;
    try {
        names = s.os.attr("listdir")(folder);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return;  // the folder's own problem is reported by the write that follows
    }
    for (py::handle entry : names) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(entry.ptr()) ? PyUnicode_AsUTF8AndSize(entry.ptr(), &size) : nullptr;
        if (!utf8) {  // not text, or not valid UTF-8: not a name the trainer writes
            PyErr_Clear();
            continue;
        }
        const long long owner = temporary_owner(std::string(utf8, size));
        if (owner == -2 || (owner >= 0 && another_process_runs(s, owner))) continue;
        remove_quietly(s, s.os.attr("path").attr("join")(folder, entry));
    }
}

}  // namespace detection
