// Owner of WinHTTP session, connection and request handles.
//
// Kept apart from the other handle traits because <winhttp.h> cannot be
// included together with <wininet.h>, which the proxy tool uses.
//
// Thread: any; an instance is not shared between threads.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "platform/win32/unique_handle.h"

namespace halyx {

// WinHTTP session, connection and request handles, closed with
// WinHttpCloseHandle (link winhttp).
struct WinHttpHandleTraits {
  using Handle = HINTERNET;
  static Handle Empty() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::WinHttpCloseHandle(h); }
};

using WinHttpHandle = UniqueHandle<WinHttpHandleTraits>;

}  // namespace halyx
