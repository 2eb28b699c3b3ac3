// HeldBuffer: a Py_buffer held for the length of a call and released on every
// path out, shared by the modules that read caller-supplied buffers
// (tarnwick.bars._pack and _bucketing).  Its items are read in place only as
// bytes, since a buffer may start at any address (a slice of a memoryview).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace tarnwick {

class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    // A view that was never filled, or that failed to fill, has no exporter.
    ~HeldBuffer() {
        if (view_.obj != nullptr) {
            PyBuffer_Release(&view_);
        }
    }

    // Acquires `obj`'s buffer as contiguous memory; false with an exception set.
    bool acquire(PyObject* obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags | PyBUF_C_CONTIGUOUS) == 0) {
            return true;
        }
        view_.obj = nullptr;
        return false;
    }

    // The view for PyArg_ParseTuple's "y*" to fill (which releases it again
    // itself when a later argument fails).
    Py_buffer* fill() noexcept { return &view_; }

    const Py_buffer& view() const noexcept { return view_; }
    Py_ssize_t size() const noexcept { return view_.len; }
    std::span<const unsigned char> bytes() const noexcept {
        return {static_cast<const unsigned char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

    // The whole items copied into aligned memory.
    template <typename T>
    std::vector<T> copy_of() const {
        std::vector<T> items(static_cast<std::size_t>(view_.len) / sizeof(T));
        if (!items.empty()) {
            std::memcpy(items.data(), view_.buf, items.size() * sizeof(T));
        }
        return items;
    }

    // The element count, when the items are `size` bytes of one of `codes`
    // (in native order: an optional '@' or '=' prefix); -1 otherwise.
    Py_ssize_t count_of(Py_ssize_t size, std::string_view codes) const noexcept {
        std::string_view format = view_.format != nullptr ? view_.format : "B";
        if (!format.empty() && (format.front() == '@' || format.front() == '=')) {
            format.remove_prefix(1);
        }
        if (view_.itemsize != size || format.size() != 1 || codes.find(format.front()) == std::string_view::npos) {
            return -1;
        }
        return view_.len / size;
    }

private:
    Py_buffer view_{};
};

}  // namespace tarnwick
