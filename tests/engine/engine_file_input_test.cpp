#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/dialog_answer.h"
#include "support/engine_page.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

// A file input at the top left, a change counter, and `read(kind, file)`
// that keeps what a FileReader made of the file in `result`.
const char kPickPage[] =
    "<input type=file id=pick accept='.conf,text/plain'"
    " style='position:fixed;left:0;top:0;width:200px;height:30px'>"
    "<script>var changes = 0; var result = '';"
    "var pick = document.getElementById('pick');"
    "pick.addEventListener('change', function () { changes++; });"
    "function read(kind, file) {"
    "  result = '';"
    "  var reader = new FileReader();"
    "  reader.onload = function () {"
    "    result = 'load ' + (kind === 'text' ? reader.result : reader.result.byteLength); };"
    "  reader.onerror = function () { result = 'error ' + reader.error.name + ': ' + reader.error.message; };"
    "  if (kind === 'text') reader.readAsText(file || pick.files[0]); else reader.readAsArrayBuffer(file || "
    "pick.files[0]);"
    "}</script>";

void ClickPick(EnginePage& page) {
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, 10, 10, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, 10, 10, 0);
}

// Clicks the input as a person and answers the open dialog with `path`
// (cancels it when empty); true once the dialog came and was answered.
bool PickThroughDialog(EnginePage& page, const std::wstring& path) {
  const std::string before = page.Eval("String(changes)");
  std::atomic<bool> done{false};
  bool answered = false;
  std::thread answer([&] {
    answered = AnswerFileDialog(path);
    done = true;
  });
  ClickPick(page);
  // The dialog opens from the message loop, and its answer comes through it.
  PumpMessagesUntil([&] { return done && (path.empty() || page.Eval("String(changes)") != before); }, 30000);
  answer.join();
  PumpMessagesFor(100);
  return answered;
}

std::string ReadAs(EnginePage& page, const std::string& kind, const std::string& file = "") {
  page.Eval("read('" + kind + "'" + (file.empty() ? "" : ", " + file) + ")");
  PumpMessagesUntil([&] { return !page.Eval("result").empty(); }, 10000);
  return page.Eval("result");
}

void LoadMainPage(EnginePage& page) {
  ::wkeSetDebugConfig(page.view(), "mainView", "1");
  ASSERT_TRUE(page.Load(kPickPage));
}

// A person's click on the file input opens the system's open dialog; the
// file picked there shows on the input, fires change, and reads as text
// and as bytes; a cancelled dialog changes nothing.
TEST(EngineFileInput, AClickOpensTheOpenDialogAndThePickedFileReads) {
  EnginePage page;
  LoadMainPage(page);
  EXPECT_EQ(page.Eval("pick.files.length + ' ' + pick.value"), "0 ");
  ASSERT_TRUE(page.WriteFile(L"peer.conf", "\xEF\xBB\xBF[Interface]\nName=Z\xC3\xBCrich\n"));
  ASSERT_TRUE(PickThroughDialog(page, page.folder() + L"\\peer.conf"));
  EXPECT_EQ(page.Eval("changes + ' ' + pick.files.length + ' ' + pick.files[0].name + ' ' + pick.files[0].size"),
            "1 1 peer.conf 28");
  EXPECT_EQ(page.Eval("pick.value"), "C:\\fakepath\\peer.conf");
  EXPECT_EQ(page.Eval("pick.files[0] === pick.files.item(0) && pick.files[0] instanceof Blob"), "true");
  EXPECT_EQ(ReadAs(page, "text"), "load [Interface]\nName=Z\xC3\xBCrich\n");
  EXPECT_EQ(ReadAs(page, "bytes"), "load 28");

  ASSERT_TRUE(PickThroughDialog(page, L""));
  EXPECT_EQ(page.Eval("changes + ' ' + pick.files[0].name"), "1 peer.conf");
}

// A file past 1 MiB is refused with a clear error; one of exactly 1 MiB
// reads whole.
TEST(EngineFileInput, ReadingStopsAtOneMebibyte) {
  EnginePage page;
  LoadMainPage(page);
  ASSERT_TRUE(page.WriteFile(L"exact.conf", std::string(1 << 20, 'x')));
  ASSERT_TRUE(page.WriteFile(L"over.conf", std::string((1 << 20) + 1, 'x')));
  ASSERT_TRUE(PickThroughDialog(page, page.folder() + L"\\exact.conf"));
  EXPECT_EQ(ReadAs(page, "bytes"), "load 1048576");
  ASSERT_TRUE(PickThroughDialog(page, page.folder() + L"\\over.conf"));
  EXPECT_EQ(page.Eval("pick.files[0].name"), "over.conf");
  EXPECT_EQ(ReadAs(page, "text"), "error NotReadableError: the file is larger than 1048576 bytes");
}

// FileReader reads a Blob's own bytes, or a file the person picked on this
// page; a made-up File, or one picked on an earlier page, is refused, and
// a script's click() opens no dialog.
TEST(EngineFileInput, OnlyWhatThePersonPickedOnThisPageIsRead) {
  EnginePage page;
  LoadMainPage(page);
  const std::string forged =
      "(function () { var f = Object.create(File.prototype);"
      " Object.defineProperty(f, '_pick', {value: 1}); return f; })()";
  EXPECT_EQ(ReadAs(page, "text", forged), "error NotReadableError: not a file the person picked");
  EXPECT_EQ(ReadAs(page, "text", "new File(['made ', 'here'], 'a.txt')"), "load made here");
  EXPECT_EQ(page.Eval("try { read('text', {size: 1}); 'read' } catch (e) { e.name }"), "TypeError");
  EXPECT_EQ(page.Eval("pick.click(); changes"), "0");
  PumpMessagesFor(200);

  ASSERT_TRUE(page.WriteFile(L"peer.conf", "secret"));
  ASSERT_TRUE(PickThroughDialog(page, page.folder() + L"\\peer.conf"));
  EXPECT_EQ(ReadAs(page, "text"), "load secret");
  // The next page of the same view reaches no earlier pick, whatever id it
  // names.
  ASSERT_TRUE(page.Load(kPickPage));
  EXPECT_EQ(page.Eval("pick.files.length"), "0");
  for (int id = 0; id < 4; ++id) {
    const std::string made =
        "(function () { var f = Object.create(File.prototype);"
        " Object.defineProperty(f, '_pick', {value: " +
        std::to_string(id) + "}); return f; })()";
    EXPECT_EQ(ReadAs(page, "text", made), "error NotReadableError: not a file the person picked") << id;
  }
}

// Only the client's own page opens files: elsewhere a click on a file input
// opens no dialog.
TEST(EngineFileInput, OtherPagesOpenNoDialog) {
  EnginePage page;
  ASSERT_TRUE(page.Load(kPickPage));
  ClickPick(page);
  PumpMessagesFor(300);
  EXPECT_EQ(page.Eval("changes"), "0");
  bool refused = false;
  for (const std::wstring& line : page.ConsoleLines()) {
    refused = refused || line.find(L"File input refused: only the main page may open files") != std::wstring::npos;
  }
  EXPECT_TRUE(refused);
}

}  // namespace
}  // namespace halyx::testing
