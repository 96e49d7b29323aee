// RAII owner of one PyObject reference, and nothing else.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrune {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes ownership of a new reference (which may be NULL).
    explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller (ownership passes to the interpreter).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace kestrune
