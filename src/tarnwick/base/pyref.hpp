// Ownership of interpreter references, written in types:
//
// - `OwnedRef` holds a strong reference and releases it when it goes out of
//   scope, so early returns on error paths cannot leak.  A helper that gives
//   its caller a new reference returns an `OwnedRef` (null: an exception is
//   set, unless its comment says otherwise).
// - `BorrowedRef` holds a reference without owning it: someone else keeps the
//   object alive for as long as it is used, and it is never released.
//
// A raw new reference crosses only where a function's address is handed to
// the interpreter or to another module, which expect the C signature: type
// slots, getters, method tables, the bodies of native functions
// (native_function.hpp) and the market-data table of functions
// (market_data_abi.hpp).  Such a function returns `OwnedRef::release()` of
// what it built, or what a C API call returned directly.  Elsewhere raw
// `PyObject*` is a borrowed argument or a call into the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnwick {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (the result of an API call); null stays null.
    static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }
    // Takes a new reference to an object borrowed from elsewhere.
    static OwnedRef borrow(PyObject* obj) noexcept { return OwnedRef(Py_XNewRef(obj)); }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XSETREF(obj_, std::exchange(other.obj_, nullptr));
        }
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Gives up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset() noexcept { Py_CLEAR(obj_); }

private:
    explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

class BorrowedRef {
public:
    constexpr BorrowedRef() noexcept = default;
    constexpr explicit BorrowedRef(PyObject* obj) noexcept : obj_(obj) {}

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // A strong reference of one's own to the same object.
    OwnedRef new_ref() const noexcept { return OwnedRef::borrow(obj_); }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace tarnwick
