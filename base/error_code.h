// Error codes as they go into log records.
//
// Every failure line prints its code with "{:#x}", and the kind of the code
// decides the sign: a DWORD (GetLastError(), a CNG status) is unsigned, so
// ERROR_ACCESS_DENIED reads 0x5 and a CNG failure 0xc000000d; an HRESULT, a
// Winsock error, an errno_t or a registry status is signed, so E_ACCESSDENIED
// reads -0x7ff8fffb. Passing the raw integer leaves the sign to whatever type
// the expression happens to have, so log calls wrap codes in these types:
//
//   spdlog::error("AsyncNamedPipe: ReadFile failed ({:#x})", LastError());
//   spdlog::error("App: CoInitializeEx failed ({:#x})", HResult(hr));
//
// Thread: any.
#pragma once

#include <windows.h>

#include <fmt/format.h>

namespace halyx {

// A code that prints as unsigned hexadecimal.
struct UnsignedCode {
  unsigned long value;
};

// A code that prints as signed hexadecimal.
struct SignedCode {
  long value;
};

inline UnsignedCode Win32Code(DWORD code) { return {code}; }
inline UnsignedCode LastError() { return {::GetLastError()}; }
// NTSTATUS is a LONG, but CNG statuses are read as DWORDs like GetLastError().
inline UnsignedCode CngStatus(LONG status) { return {static_cast<unsigned long>(status)}; }
inline SignedCode HResult(HRESULT hr) { return {hr}; }
// Winsock errors, errno_t values and registry statuses.
inline SignedCode SignedErrorCode(long code) { return {code}; }

// Restores the thread's last error when it goes out of scope, so that a log
// line written between a failing call and the caller's GetLastError() cannot
// change what the caller sees.
class PreserveLastError {
 public:
  PreserveLastError() : error_(::GetLastError()) {}
  ~PreserveLastError() { ::SetLastError(error_); }
  PreserveLastError(const PreserveLastError&) = delete;
  PreserveLastError& operator=(const PreserveLastError&) = delete;

  DWORD error() const { return error_; }
  UnsignedCode code() const { return {error_}; }

 private:
  DWORD error_;
};

}  // namespace halyx

template <>
struct fmt::formatter<halyx::UnsignedCode> : fmt::formatter<unsigned long> {
  template <typename FormatContext>
  auto format(const halyx::UnsignedCode& code, FormatContext& ctx) const -> decltype(ctx.out()) {
    return fmt::formatter<unsigned long>::format(code.value, ctx);
  }
};

template <>
struct fmt::formatter<halyx::SignedCode> : fmt::formatter<long> {
  template <typename FormatContext>
  auto format(const halyx::SignedCode& code, FormatContext& ctx) const -> decltype(ctx.out()) {
    return fmt::formatter<long>::format(code.value, ctx);
  }
};
