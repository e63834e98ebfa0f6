// Owned Python references. Every PyObject* the module keeps or returns lives in a Ref,
// so an early return on an error path never leaks and never double-frees.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qv {

class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (from an API that returns one); null stays null.
    static Ref consume(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of our own to a borrowed pointer.
    static Ref own(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref& operator=(const Ref& other) noexcept
    {
        if (this != &other) *this = own(other.ptr_);
        return *this;
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference back to the interpreter (a return value, a stolen slot).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// A read-only or writable view of an object's bytes, released on scope exit.
class BufferView {
public:
    BufferView() noexcept = default;
    ~BufferView() { reset(); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    // Returns false with the host's error set when the object exposes no such buffer.
    bool acquire(PyObject* obj, int flags) noexcept
    {
        reset();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    void reset() noexcept
    {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    unsigned char* data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace qv
