// Owning handle for Python references, so that early returns cannot leak or double-drop them.
#pragma once

#include <Python.h>

#include <utility>

namespace vexdal_py {

// Owns one strong reference. Moving hands it on; destruction drops it.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
  static Ref borrow(PyObject* shared) noexcept {
    Py_XINCREF(shared);
    return Ref(shared);
  }
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(ptr_); }
  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }  // caller now owns it
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace vexdal_py
