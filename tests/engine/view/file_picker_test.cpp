#include "engine/view/file_picker.h"

#include "engine/dom/html_document.h"
#include "engine/layout/layout_engine.h"

#include <string>

#include <gtest/gtest.h>

#include "support/message_pump.h"
#include "support/planted_link.h"
#include "support/scoped_temp_dir.h"

namespace halyx::engine {
namespace {

using testing::PlantFileLink;
using testing::RemoveLink;
using testing::ScopedTempDir;
using testing::WriteWholeFile;

// What a page reads of a picked file is bounded and never a folder or a
// link: the file as it is, up to the limit, or nothing and the reason.
TEST(FilePickerRead, ReadsUpToTheLimitAndRefusesLargerFilesFoldersAndLinks) {
  ScopedTempDir dir;
  const std::wstring exact = dir.path() + L"\\exact.conf";
  const std::wstring over = dir.path() + L"\\over.conf";
  ASSERT_TRUE(WriteWholeFile(exact, std::string(64, 'a')));
  ASSERT_TRUE(WriteWholeFile(over, std::string(65, 'b')));
  std::string bytes;
  std::string why;
  EXPECT_TRUE(FilePicker::ReadPicked(exact, 64, bytes, why)) << why;
  EXPECT_EQ(bytes, std::string(64, 'a'));
  EXPECT_FALSE(FilePicker::ReadPicked(over, 64, bytes, why));
  EXPECT_EQ(why, "the file is larger than 64 bytes");
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(FilePicker::ReadPicked(dir.path(), 64, bytes, why));
  EXPECT_FALSE(FilePicker::ReadPicked(dir.path() + L"\\absent.conf", 64, bytes, why));
  EXPECT_EQ(why.rfind("cannot open the file", 0), 0u) << why;

  // Wine makes no file link that reads as one (docs/wine.md); on Windows
  // the link is refused rather than followed to what it names.
  const std::wstring link = dir.path() + L"\\link.conf";
  if (PlantFileLink(link, exact)) {
    EXPECT_FALSE(FilePicker::ReadPicked(link, 64, bytes, why));
    EXPECT_EQ(why, "the file is a folder or a link");
    EXPECT_TRUE(RemoveLink(link));
  }
}

// A file input is a button that asks for a file until one is picked, then
// names it without its (made-up) folder.
TEST(FilePickerShown, TheInputAsksForAFileThenNamesThePick) {
  const HtmlDocument doc =
      HtmlDocument::Parse("<input type=file id=empty><input type=file id=picked value='C:\\fakepath\\peer one.conf'>");
  std::wstring text;
  bool placeholder = true;
  ASSERT_TRUE(LayoutEngine::ControlText(doc, doc.FindById("empty"), text, placeholder));
  EXPECT_EQ(text, L"Choose file...");
  EXPECT_FALSE(placeholder);
  ASSERT_TRUE(LayoutEngine::ControlText(doc, doc.FindById("picked"), text, placeholder));
  EXPECT_EQ(text, L"peer one.conf");
}

}  // namespace
}  // namespace halyx::engine
