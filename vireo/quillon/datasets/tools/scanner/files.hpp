// Reading files without the GIL: paths as file-system bytes, reads at offsets, whole files.
#pragma once

#include <pybind11/pybind11.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace scanner {
namespace py = pybind11;

// os.fsencode(path) for a str or bytes path; a clear TypeError for anything else.
inline std::string fs_path(const py::handle& path) {
    if (PyBytes_Check(path.ptr())) return std::string(PyBytes_AS_STRING(path.ptr()), PyBytes_GET_SIZE(path.ptr()));
    if (!PyUnicode_Check(path.ptr()))
        throw py::type_error(std::string("paths must be str or bytes, not ") + Py_TYPE(path.ptr())->tp_name);
    PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
    if (!encoded) throw py::error_already_set();
    py::bytes owner = py::reinterpret_steal<py::bytes>(encoded);
    return std::string(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded));
}

// Every item of a list of paths, encoded while the GIL is held.
inline std::vector<std::string> fs_paths(const py::handle& paths, const char* what) {
    if (!PyList_Check(paths.ptr()))
        throw py::type_error(std::string(what) + " must be a list of paths, not " + Py_TYPE(paths.ptr())->tp_name);
    std::vector<std::string> out;
    const Py_ssize_t n = PyList_GET_SIZE(paths.ptr());
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(fs_path(PyList_GET_ITEM(paths.ptr(), i)));
    return out;
}

// An open file, closed when it goes out of scope.
class File {
public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        error_ = fd_ < 0 ? errno : 0;
        if (fd_ >= 0) {
            struct stat st;
            if (::fstat(fd_, &st) != 0) error_ = errno;
            else if (S_ISDIR(st.st_mode)) error_ = EISDIR;
            else size_ = static_cast<int64_t>(st.st_size);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool ok() const { return error_ == 0; }
    int error() const { return error_; }  // errno of the failed open or stat
    int64_t size() const { return size_; }

    // Reads up to `n` bytes at `offset` into `out` (resized to what was read); false on an I/O error.
    bool read_at(int64_t offset, size_t n, std::string& out) {
        out.resize(n);
        size_t got = 0;
        while (got < n) {
            ssize_t r = ::pread(fd_, &out[got], n - got, static_cast<off_t>(offset + static_cast<int64_t>(got)));
            if (r < 0) {
                if (errno == EINTR) continue;
                error_ = errno;
                out.resize(got);
                return false;
            }
            if (r == 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return true;
    }

    bool read_all(std::string& out) { return read_at(0, static_cast<size_t>(size_), out); }

    // Reads up to `n` bytes at `offset` into `out`; the count read, or -1 on an I/O error.
    int64_t read_into(int64_t offset, size_t n, uint8_t* out) {
        size_t got = 0;
        while (got < n) {
            ssize_t r = ::pread(fd_, out + got, n - got, static_cast<off_t>(offset + static_cast<int64_t>(got)));
            if (r < 0) {
                if (errno == EINTR) continue;
                error_ = errno;
                return -1;
            }
            if (r == 0) break;
            got += static_cast<size_t>(r);
        }
        return static_cast<int64_t>(got);
    }

private:
    int fd_;
    int error_ = 0;
    int64_t size_ = 0;
};

inline std::string errno_text(int error) { return std::strerror(error); }

// Reads a whole (small) file into `out` with as few system calls as possible: no fstat, and
// a read that returns less than asked is the end of a regular file. Returns 0, EFBIG when the
// file holds more than `limit` bytes, or the errno of the failure.
inline int read_small_file(const std::string& path, std::string& out, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    out.clear();
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t r = ::read(fd, buffer, sizeof buffer);
        if (r < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        out.append(buffer, static_cast<size_t>(r));
        if (out.size() > limit) {
            error = EFBIG;
            break;
        }
        if (static_cast<size_t>(r) < sizeof buffer) break;
    }
    ::close(fd);
    return error;
}

}  // namespace scanner
