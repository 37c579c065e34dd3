// Replaces every occurrence of `from` in `text` by `to`, scanning left to
// right past each replacement (so "\\" -> "\\\\" doubles each backslash once).
// An empty `from` leaves the text as it is.
//
// Thread: any.
#pragma once

#include <string>

namespace halyx {

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);
std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to);

}  // namespace halyx
