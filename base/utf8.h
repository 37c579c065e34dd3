// Text between the Win32 wide calls (UTF-16) and everything narrow: log
// records, JSON, the page (UTF-8), and other code pages where a caller names
// one.
//
// Thread: any.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace halyx {

// Unpaired surrogates become U+FFFD, as WideCharToMultiByte does.
std::string WideToUtf8(std::wstring_view text);

// Invalid sequences become U+FFFD, as MultiByteToWideChar does.
std::wstring Utf8ToWide(std::string_view text);

// Appends `bytes` decoded from `codePage` with MultiByteToWideChar `flags`
// (MB_ERR_INVALID_CHARS to refuse invalid input). False when they do not
// decode; nothing is appended then.
bool AppendDecoded(UINT codePage, DWORD flags, std::string_view bytes, std::wstring& out);

}  // namespace halyx
