// Owner of WinHTTP session, connection and request handles.
//
// Kept apart from the other handle traits because <winhttp.h> cannot be
// included together with <wininet.h>, which the proxy tool uses.
//
// Thread: any; an instance is not shared between threads.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "base/unique_handle.h"

namespace halyx {

// Closed with WinHttpCloseHandle (link winhttp).
using WinHttpHandle = UniqueHandle<NullHandleTraits<HINTERNET, ::WinHttpCloseHandle>>;

}  // namespace halyx
