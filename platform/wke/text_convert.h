// UTF-8 <-> UTF-16 conversion for the engine, which keeps text as UTF-8
// inside (the interpreter's encoding) and hands wide text to Win32.
//
// Thread: any.
#pragma once

#include <string>

namespace halyx::engine {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace halyx::engine
