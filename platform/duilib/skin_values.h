// Readers for the attribute values of skin files (see docs/skin-format.md).
// Each answers false, leaving the output alone, for text that is not a
// complete value of its kind; surrounding blanks are allowed.
//
// Thread: any.
#pragma once

#include <windows.h>

#include <string>

namespace DuiLib {

// "true" or "false".
bool ParseSkinBool(const std::wstring& text, bool* value);
// A decimal integer, optionally signed.
bool ParseSkinInt(const std::wstring& text, int* value);
// "cx,cy", both at least 0.
bool ParseSkinSize(const std::wstring& text, SIZE* value);
// "left,top,right,bottom".
bool ParseSkinRect(const std::wstring& text, RECT* value);
// "#RRGGBB" (opaque) or "#AARRGGBB".
bool ParseSkinColor(const std::wstring& text, DWORD* value);

}  // namespace DuiLib
