// Interned identifiers for attribute, keyword and global-name lookups.
//
// An `Id` is declared once (usually `static`) and interned on first use; the
// interned string lives for the rest of the process, as the interpreter's own
// identifiers do.  The modules declare that they do not support several
// interpreters, so one table per process is enough.
#pragma once

#include "pcrt/ref.hpp"

namespace pcrt {

class Id {
 public:
  constexpr explicit Id(const char* text) noexcept : text_(text) {}
  Id(const Id&) = delete;
  Id& operator=(const Id&) = delete;

  // Borrowed interned string; throws if interning fails (out of memory).
  PyObject* get() const {
    if (obj_ == nullptr) {
      obj_ = PyUnicode_InternFromString(text_);
      if (obj_ == nullptr) raised();
    }
    return obj_;
  }
  const char* text() const noexcept { return text_; }

 private:
  friend class Call;
  const char* text_;
  mutable PyObject* obj_ = nullptr;
  // The last module-global read under this name (see Call::global): the
  // namespace, its value there (borrowed) and the change count it is valid for.
  mutable PyObject* global_dict_ = nullptr;
  mutable PyObject* global_value_ = nullptr;
  mutable unsigned long long global_epoch_ = 0;
};

}  // namespace pcrt
