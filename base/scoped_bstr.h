// A BSTR argument for the duration of one COM call: allocated from a wide
// string, freed when it goes out of scope.
//
//   const ScopedBstr name(L"ROOT\\CIMV2");
//   locator->ConnectServer(name, ...);
//
// A null value (allocation failed) passes as an empty BSTR, which callees
// reject with their own error.
//
// Thread: any; an instance is used by one thread.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace halyx {

class ScopedBstr {
 public:
  explicit ScopedBstr(const wchar_t* text) : value_(::SysAllocString(text)) {}
  ~ScopedBstr() { ::SysFreeString(value_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  operator BSTR() const { return value_; }

 private:
  BSTR value_;
};

}  // namespace halyx
