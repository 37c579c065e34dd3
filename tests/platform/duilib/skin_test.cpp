// Skin values, archives and clips: good input is read exactly, bad input is
// refused without touching the result.
#include <gtest/gtest.h>

#include <string>

#include "duilib_test_support.h"
#include "platform/duilib/dui_string.h"
#include "platform/duilib/render_clip.h"
#include "platform/duilib/skin_archive.h"
#include "platform/duilib/skin_values.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace DuiLib::testing {
namespace {

using halyx::testing::LogCapture;
using halyx::testing::ScopedTempDir;

TEST(SkinValues, ReadsWellFormedValuesAndRefusesTheRest) {
  struct Case {
    const wchar_t* text;
    bool ok;
    DWORD color;
  };
  const Case colors[] = {
      {L"#102030", true, 0xFF102030}, {L" #80aBcDeF ", true, 0x80ABCDEF},
      {L"102030", false, 0},          {L"#1020", false, 0},
      {L"#10203G", false, 0},         {L"", false, 0},
  };
  for (const Case& c : colors) {
    DWORD value = 7;
    EXPECT_EQ(ParseSkinColor(c.text, &value), c.ok) << CDuiString(c.text).ToUtf8();
    EXPECT_EQ(value, c.ok ? c.color : 7u);
  }
  RECT rc{9, 9, 9, 9};
  EXPECT_TRUE(ParseSkinRect(L"1, -2,3 ,4", &rc));
  EXPECT_TRUE((CDuiRect(rc) == RECT{1, -2, 3, 4}));
  for (const wchar_t* bad : {L"1,2,3", L"1,2,3,4,5", L"1,,3,4", L"a,b,c,d", L"99999999999,0,0,0"}) {
    EXPECT_FALSE(ParseSkinRect(bad, &rc)) << CDuiString(bad).ToUtf8();
  }
  SIZE size{};
  EXPECT_FALSE(ParseSkinSize(L"-1,5", &size));
  bool flag = false;
  EXPECT_TRUE(ParseSkinBool(L"true", &flag));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(ParseSkinBool(L"yes", &flag));
}

TEST(CSkinArchive, FindsEntriesRegardlessOfCaseAndSlashAndRefusesDamage) {
  ScopedTempDir dir;
  const std::wstring path = dir.path() + L"\\s.dat";
  std::string big(100000, '\0');
  unsigned seed = 1;
  for (char& c : big) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  ASSERT_TRUE(WriteZip(path, {{"Main.XML", "<Window/>"}, {"img/big.bin", big}}));
  CSkinArchive archive;
  ASSERT_TRUE(archive.Open(path));
  std::string text;
  EXPECT_TRUE(archive.Read(L"main.xml", &text));
  EXPECT_EQ(text, "<Window/>");
  EXPECT_TRUE(archive.Read(L"IMG\\big.bin", &text));
  EXPECT_EQ(text, big);
  {
    LogCapture log;
    EXPECT_FALSE(archive.Read(L"web.xml", &text));
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  }

  // Flip bytes inside the compressed data of the big entry: its local
  // header (30 bytes, then name and extra field) comes first in the file.
  std::string bytes = halyx::testing::ReadWholeFile(path);
  const size_t header = bytes.find("img/big.bin") - 30;
  const size_t extra = static_cast<unsigned char>(bytes[header + 28]) | static_cast<unsigned char>(bytes[header + 29])
                                                                            << 8;
  const size_t at = header + 30 + 11 + extra + 5000;
  for (size_t i = at; i < at + 16; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
  const std::wstring damaged = dir.path() + L"\\damaged.dat";
  {
    halyx::FileHandle file(::CreateFileW(damaged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  CSkinArchive broken;
  ASSERT_TRUE(broken.Open(damaged));
  LogCapture log;
  EXPECT_FALSE(broken.Read(L"img/big.bin", &text));
  EXPECT_TRUE(text.empty());
  EXPECT_TRUE(broken.Read(L"main.xml", &text));  // the intact entry still reads
}

TEST(CDuiString, ConvertsUtf8BothWaysAndReplacesWithoutLooping) {
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F \xE4\xBD\xA0\xE5\xA5\xBD \xF0\x9F\x98\x80";
  EXPECT_EQ(CDuiString::FromUtf8(utf8).ToUtf8(), utf8);
  CDuiString text(L"a\\b\\c");
  EXPECT_EQ(text.Replace(L"\\", L"\\\\"), 2);
  EXPECT_TRUE(text == L"a\\\\b\\\\c");
  EXPECT_EQ(text.Replace(L"", L"x"), 0);
  EXPECT_EQ(CDuiString(L"Main.XML").CompareNoCase(L"main.xml"), 0);
  EXPECT_TRUE(CDuiString(L"abc", 10) == L"abc");  // length beyond the text
  EXPECT_TRUE(CDuiString(L"abc").Mid(5).IsEmpty());
}

TEST(CRenderClip, ClipsToRoundedCornersAndRestoresThePreviousClip) {
  halyx::MemoryDcHandle dc(::CreateCompatibleDC(nullptr));
  halyx::BitmapHandle bitmap(::CreateCompatibleBitmap(dc.get(), 100, 100));
  ::SelectObject(dc.get(), bitmap.get());
  halyx::RegionHandle probe(::CreateRectRgn(0, 0, 0, 0));
  {
    CRenderClip clip;
    CRenderClip::GenerateRoundClip(dc.get(), RECT{0, 0, 100, 100}, RECT{10, 10, 90, 90}, 30, 30, clip);
    EXPECT_TRUE(::PtVisible(dc.get(), 50, 50));
    EXPECT_FALSE(::PtVisible(dc.get(), 11, 11));  // cut off by the corner
    EXPECT_FALSE(::PtVisible(dc.get(), 95, 50));
  }
  EXPECT_EQ(::GetClipRgn(dc.get(), probe.get()), 0);  // no clip before, none after

  halyx::RegionHandle outer(::CreateRectRgn(0, 0, 40, 100));
  ::SelectClipRgn(dc.get(), outer.get());
  {
    CRenderClip clip;
    CRenderClip::GenerateClip(dc.get(), RECT{0, 0, 100, 100}, RECT{20, 20, 80, 80}, clip);
    EXPECT_TRUE(::PtVisible(dc.get(), 30, 30));
    EXPECT_FALSE(::PtVisible(dc.get(), 50, 30));  // outside the earlier clip
  }
  ASSERT_EQ(::GetClipRgn(dc.get(), probe.get()), 1);
  RECT box{};
  ::GetRgnBox(probe.get(), &box);
  EXPECT_TRUE((CDuiRect(box) == RECT{0, 0, 40, 100}));
}

}  // namespace
}  // namespace DuiLib::testing
