#include "base/utf8.h"

namespace halyx {

std::string WideToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring Utf8ToWide(std::string_view text) {
  std::wstring out;
  AppendDecoded(CP_UTF8, 0, text, out);
  return out;
}

bool AppendDecoded(UINT codePage, DWORD flags, std::string_view bytes, std::wstring& out) {
  if (bytes.empty()) return true;
  const int size = static_cast<int>(bytes.size());
  const int length = ::MultiByteToWideChar(codePage, flags, bytes.data(), size, nullptr, 0);
  if (length <= 0) return false;
  const std::size_t end = out.size();
  out.resize(end + static_cast<std::size_t>(length));
  if (::MultiByteToWideChar(codePage, flags, bytes.data(), size, out.data() + end, length) != length) {
    out.resize(end);
    return false;
  }
  return true;
}

}  // namespace halyx
