#include "ui/replace_all.h"

namespace halyx {
namespace {

template <typename String>
String ReplaceEvery(String text, const String& from, const String& to) {
  if (from.empty()) return text;
  for (std::size_t at = text.find(from); at != String::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  return ReplaceEvery(std::move(text), from, to);
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to) {
  return ReplaceEvery(std::move(text), from, to);
}

}  // namespace halyx
