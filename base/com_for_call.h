// COM for the length of one call on whatever thread makes it.
//
//   const ComForCall com;
//   if (!com.usable()) { log com.result(); return false; }
//   ... CoCreateInstance ...
//
// The GUI thread has its apartment already (S_FALSE here, still balanced);
// a thread in the other apartment model (RPC_E_CHANGED_MODE) can make the
// calls as it is and is left alone.
//
// Thread: the one that made it; it must also destroy it.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace halyx {

class ComForCall {
 public:
  ComForCall() : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComForCall() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  ComForCall(const ComForCall&) = delete;
  ComForCall& operator=(const ComForCall&) = delete;
  bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace halyx
