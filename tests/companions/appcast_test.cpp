// The appcast format: what parses, and every way a server's answer can be
// wrong ends in an error in words for the user.
#include <string>

#include <gtest/gtest.h>

#include "appcast.h"

namespace halyx::update {
namespace {

TEST(Appcast, ReadsVersionNotesAndUrlAndIgnoresUnknownKeys) {
  Appcast appcast;
  std::string error;
  ASSERT_TRUE(Appcast::Parse(
      "quor-appcast 1\r\n# a comment\r\n\r\nversion=6.1\r\nnotes=Faster\tnow\r\nchannel=beta\r\nurl=https://x/y\r\n",
      appcast, error))
      << error;
  EXPECT_EQ(appcast.version.ToString(), "6.1.0.0");
  EXPECT_EQ(appcast.notes, "Faster\tnow");
  EXPECT_EQ(appcast.url, "https://x/y");
}

// What an installable offer adds: the package's length and its signature;
// a length that is not a plain positive number is an error, not a zero.
TEST(Appcast, ReadsThePackagesSizeAndSignature) {
  Appcast appcast;
  std::string error;
  ASSERT_TRUE(Appcast::Parse("quor-appcast 1\nversion=7\nurl=https://x/s.exe\nsize=999999999999\nsignature=ab12\n",
                             appcast, error))
      << error;
  EXPECT_EQ(appcast.size, 999999999999ull);
  EXPECT_EQ(appcast.signature, "ab12");
  ASSERT_TRUE(Appcast::Parse("quor-appcast 1\nversion=7\n", appcast, error));
  EXPECT_EQ(appcast.size, 0u);
  EXPECT_TRUE(appcast.signature.empty());
  for (const char* size : {"0", "", "-1", "+5", "1e6", "0x10", "1000000000000", "12 ", "18446744073709551617"}) {
    EXPECT_FALSE(Appcast::Parse(std::string("quor-appcast 1\nversion=7\nsize=") + size, appcast, error)) << size;
    EXPECT_EQ(error, "the offered package's size is not a number of bytes (line 3)") << size;
  }
  EXPECT_FALSE(Appcast::Parse("quor-appcast 1\nversion=7\nsignature=a\nsignature=b", appcast, error));
  EXPECT_EQ(error, "the appcast names \"signature\" twice (line 4)");
}

TEST(Appcast, VersionsHaveOneToFourPartsThatFitAVersionBlock) {
  Version v;
  for (const char* good : {"6", "6.0.8.0", "65535.0.0.65535", "00006.1"}) EXPECT_TRUE(Version::Parse(good, v)) << good;
  for (const char* bad : {"", ".", "6.", ".6", "6..0", "1.2.3.4.5", "65536", "000001", "6.0.x", "+6", "-1", " 6", "6 ",
                          "6,0", "\xd9\xa6"}) {
    EXPECT_FALSE(Version::Parse(bad, v)) << bad;
  }
  Version a, b;
  ASSERT_TRUE(Version::Parse("6.0.8", a));
  ASSERT_TRUE(Version::Parse("6.0.10", b));
  EXPECT_TRUE(b > a);
  EXPECT_FALSE(a > a);
  ASSERT_TRUE(Version::Parse("6.0.8.0", b));
  EXPECT_TRUE(a == b);
}

TEST(Appcast, BrokenAppcastsAreRefusedWithAReason) {
  struct Case {
    std::string text;
    const char* reason;
  } cases[] = {
      {"", "the answer is not an appcast (line 1)"},
      {"<html>\n", "the answer is not an appcast (line 1)"},
      {"quor-appcast 2\nversion=7\n", "the answer is not an appcast (line 1)"},
      {"quor-appcast 1\n", "the appcast offers no version"},
      {"quor-appcast 1\nversion 7\n", "the appcast has a line without \"=\" (line 2)"},
      {"quor-appcast 1\nversion=7\nversion=8\n", "the appcast names \"version\" twice (line 3)"},
      {"quor-appcast 1\nversion=7.x\n", "the offered version is not a version number (line 2)"},
      {"quor-appcast 1\nversion=7\nnotes=a\x1b[2Jb\n", "the appcast has a control character (line 3)"},
      {"quor-appcast 1\nversion=7\nnotes=" + std::string(Appcast::kMaxNotes + 1, 'n'),
       "the appcast's notes are longer than 1024 bytes (line 3)"},
      {"quor-appcast 1\nversion=7\nnotes=\xff\xfe\n", "the appcast is not UTF-8 text"},
      {"quor-appcast 1\nversion=7\n" + std::string(Appcast::kMaxBytes, '#'), "the appcast is larger than 16384 bytes"},
  };
  for (const Case& c : cases) {
    Appcast appcast;
    std::string error;
    EXPECT_FALSE(Appcast::Parse(c.text, appcast, error)) << c.reason;
    EXPECT_EQ(error, c.reason);
  }
}

}  // namespace
}  // namespace halyx::update
