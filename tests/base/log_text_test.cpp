// Text from outside goes into the log as one line: every control character
// and Unicode line break becomes a visible escape, the rest stays as it is.
#include <string>

#include <gtest/gtest.h>

#include "base/log_text.h"

namespace halyx {
namespace {

TEST(LogText, LineBreaksAndControlsBecomeVisibleEscapes) {
  EXPECT_EQ(LogText("a\r\n[error] App: forged"), "a\\r\\n[error] App: forged");
  EXPECT_EQ(LogText(std::string("\t\x1b[2J\x7f\0z", 8)), "\\t\\x1b[2J\\x7f\\x00z");
  // NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR break lines in many viewers.
  EXPECT_EQ(LogText("x\xc2\x85y\xe2\x80\xa8z\xe2\x80\xa9"), "x\\u0085y\\u2028z\\u2029");
}

TEST(LogText, OrdinaryTextPassesUnchanged) {
  for (const char* text : {"", "C:\\Users\\b\\report.txt", "z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac",
                           "\xe2\x80\xa7 \xc2\xa0", "\xe2\x80", "\xff\xfe"}) {
    EXPECT_EQ(LogText(text), text);
  }
}

}  // namespace
}  // namespace halyx
