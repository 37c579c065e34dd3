// UTF-16 text of Win32 wide calls as UTF-8 for log records and JSON.
//
// Thread: any.
#pragma once

#include <string>
#include <string_view>

namespace halyx {

// Unpaired surrogates become U+FFFD, as WideCharToMultiByte does.
std::string WideToUtf8(std::wstring_view text);

}  // namespace halyx
