// Text from outside (a page's console text, dropped file names, link
// targets) on its way into a log record.
//
// The log is one record a line. A CR or LF inside a record would start what
// reads as a record of its own, so a page or a forged drop could write lines
// that seem to come from any component; other control characters (an escape
// sequence, a backspace) can rewrite what a terminal shows. Each is written
// as a visible escape instead:
//
//   spdlog::info("<JS>: {}", LogText(text));
//
// Thread: any.
#pragma once

#include <string>
#include <string_view>

namespace halyx {

// `utf8` with every C0 control and DEL as "\r", "\n", "\t" or "\xNN", and the
// Unicode line breaks U+0085, U+2028, U+2029 as "\u0085", "\u2028",
// "\u2029". Everything else, backslashes and invalid sequences included,
// passes unchanged.
std::string LogText(std::string_view utf8);

}  // namespace halyx
