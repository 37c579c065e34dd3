// A VARIANT that is cleared on every path out of its scope, so an out-value
// of a COM call (a BSTR, an interface) is never leaked on an early return.
//
//   ScopedVariant value;
//   object->Get(name, 0, value.get(), nullptr, nullptr);
//   if ((*value).vt == VT_BSTR) ...
//
// Thread: any; an instance is used by one thread.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace halyx {

class ScopedVariant {
 public:
  ScopedVariant() { ::VariantInit(&value_); }
  ~ScopedVariant() { ::VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* get() { return &value_; }
  VARIANT& operator*() { return value_; }
  const VARIANT& operator*() const { return value_; }

 private:
  VARIANT value_;
};

}  // namespace halyx
