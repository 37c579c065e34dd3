#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/unique_handle.h"
#include "support/dialog_answer.h"
#include "support/engine_page.h"
#include "support/message_pump.h"
#include "support/planted_link.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

// Loading runs a page's scripts in document order, then reports title, URL
// and document-ready from the message loop, after the load call returned.
TEST(EngineLoad, ScriptsRunInDocumentOrderWithRelativeSourceFiles) {
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"second.js", "order.push('src');"));
  ASSERT_TRUE(
      page.Load("<html><head><title>Order</title><script>var order = ['first'];</script>"
                "<script src=\"second.js\"></script></head><body>"
                "<script>order.push(document.title);</script>"
                "<script src=\"missing.js\"></script><script>order.push('last');</script></body></html>"));
  EXPECT_EQ(page.Eval("order.join(',')"), "first,src,Order,last");
}

TEST(EngineLoad, CallbacksComeAfterTheLoadCallReturnedTitleUrlThenReady) {
  EnginePage page;
  struct Record {
    bool loading = false;
    std::vector<std::string> events;
  } record;
  ::wkeOnTitleChanged(
      page.view(),
      [](wkeWebView, void* p, const wkeString title) {
        auto* r = static_cast<Record*>(p);
        r->events.push_back(std::string(r->loading ? "reentered " : "") + "title " + ::wkeGetString(title));
      },
      &record);
  ::wkeOnURLChanged(
      page.view(),
      [](wkeWebView, void* p, const wkeString url) {
        auto* r = static_cast<Record*>(p);
        const std::string text = ::wkeGetString(url);
        r->events.push_back(std::string(r->loading ? "reentered " : "") + "url " +
                            text.substr(text.find_last_of('/') + 1));
      },
      &record);
  ::wkeOnDocumentReady(
      page.view(),
      [](wkeWebView, void* p) {
        auto* r = static_cast<Record*>(p);
        r->events.push_back(std::string(r->loading ? "reentered " : "") + "ready");
      },
      &record);
  ASSERT_TRUE(page.WriteFile(L"page.html", "<title>Hello</title><p>text</p>"));
  record.loading = true;
  ::wkeLoadFileW(page.view(), (page.folder() + L"\\page.html").c_str());
  record.loading = false;
  EXPECT_TRUE(record.events.empty());
  ASSERT_TRUE(PumpMessagesUntil([&] { return record.events.size() >= 3; }));
  EXPECT_EQ(record.events, (std::vector<std::string>{"title Hello", "url page.html", "ready"}));
}

TEST(EngineLoad, FileUrlLoadsLikeAPathAndAMissingPageStillCompletes) {
  EnginePage page;
  ASSERT_TRUE(page.WriteFile(L"page.html", "<script>var loaded = 'yes';</script>"));
  std::wstring url = L"file:///" + page.folder() + L"\\page.html";
  ::wkeLoadURLW(page.view(), url.c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 1; }));
  EXPECT_EQ(page.Eval("loaded"), "yes");

  ::wkeLoadFileW(page.view(), (page.folder() + L"\\absent.html").c_str());
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.ready_count() == 2; }));
  // The new page replaced the old one's script world.
  EXPECT_EQ(page.Eval("typeof loaded"), "undefined");
}

// The page environment: timers, elements, dialogs, storage and errors.
TEST(EnginePageEnvironment, TimersFireFromTheMessageLoopAndCanBeCleared) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<script>var log = [];"
                "setTimeout(function (a) { log.push('once ' + a); }, 10, 'x');"
                "var cancelled = setTimeout(function () { log.push('cancelled'); }, 10);"
                "clearTimeout(cancelled);"
                "var ticks = 0; var every = setInterval(function () {"
                "  if (++ticks === 3) { clearInterval(every); log.push('ticked'); } }, 10);"
                "</script>"));
  ASSERT_TRUE(PumpMessagesUntil([&] { return page.Eval("log.length") == "2"; }));
  PumpMessagesFor(100);
  EXPECT_EQ(page.Eval("log.sort().join()"), "once x,ticked");
  EXPECT_EQ(page.Eval("ticks"), "3");
}

TEST(EnginePageEnvironment, ElementTextReadsAndWritesThroughBothNames) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<body><p id=\"status\">Not <b>connected</b></p><div id=\"x\"></div></body>"));
  EXPECT_EQ(page.Eval("document.getElementById('status').textContent"), "Not connected");
  EXPECT_EQ(page.Eval("document.getElementById('status').innerText = 'Connected';"
                      "document.getElementById('status').textContent"),
            "Connected");
  EXPECT_EQ(page.Eval("String(document.getElementById('nothing'))"), "null");
  EXPECT_EQ(page.Eval("document.getElementById('x') === document.getElementById('x')"), "true");
}

TEST(EnginePageEnvironment, DialogsReachTheirCallbacksAndCarryTheAnswers) {
  EnginePage page;
  struct Seen {
    std::vector<std::string> texts;
  } seen;
  ::wkeOnAlertBox(
      page.view(),
      [](wkeWebView, void* p, const wkeString m) { static_cast<Seen*>(p)->texts.push_back(::wkeGetString(m)); }, &seen);
  ::wkeOnConfirmBox(
      page.view(),
      [](wkeWebView, void* p, const wkeString m) {
        static_cast<Seen*>(p)->texts.push_back(::wkeGetString(m));
        return true;
      },
      &seen);
  ::wkeOnPromptBox(
      page.view(),
      [](wkeWebView, void* p, const wkeString m, const wkeString d, wkeString) {
        static_cast<Seen*>(p)->texts.push_back(std::string(::wkeGetString(m)) + "/" + ::wkeGetString(d));
        return true;
      },
      &seen);
  ASSERT_TRUE(page.Load("<p>dialogs</p>"));
  EXPECT_EQ(page.Eval("alert('careful'); String(confirm('sure?')) + ' ' + prompt('name?', 'guest')"), "true guest");
  EXPECT_EQ(seen.texts, (std::vector<std::string>{"careful", "sure?", "name?/guest"}));

  // Without callbacks a confirm is declined and a prompt answers null.
  ::wkeOnConfirmBox(page.view(), nullptr, nullptr);
  ::wkeOnPromptBox(page.view(), nullptr, nullptr);
  EXPECT_EQ(page.Eval("String(confirm('again?')) + ' ' + prompt('x')"), "false null");
}

TEST(EnginePageEnvironment, LocalStorageIsKeptForTheNextViewWithTheSameFolder) {
  ScopedTempDir storage;
  const std::wstring folder = storage.path() + L"\\LocalStorage\\";
  {
    EnginePage first;
    ::wkeSetLocalStorageFullPath(first.view(), folder.c_str());
    ASSERT_TRUE(
        first.Load("<script>localStorage.setItem('server', 'tokyo\\n2');"
                   "localStorage.setItem('gone', '1'); localStorage.removeItem('gone');</script>"));
  }
  EnginePage second;
  ::wkeSetLocalStorageFullPath(second.view(), folder.c_str());
  ASSERT_TRUE(second.Load("<p>reader</p>"));
  EXPECT_EQ(second.Eval("JSON.stringify([localStorage.getItem('server'), localStorage.getItem('gone')])"),
            "[\"tokyo\\n2\",null]");
}

// The main window and a web window of one origin share one store, live:
// neither writes back a stale copy over the other's keys.
TEST(EnginePageEnvironment, LocalStorageIsSharedLiveBetweenViewsOfOneOrigin) {
  ScopedTempDir storage;
  const std::wstring folder = storage.path() + L"\\LocalStorage";
  EnginePage main_window;
  EnginePage web_window;
  ::wkeSetLocalStorageFullPath(main_window.view(), folder.c_str());
  ::wkeSetLocalStorageFullPath(web_window.view(), folder.c_str());
  ASSERT_TRUE(main_window.Load("<p>main</p>"));
  ASSERT_TRUE(web_window.Load("<p>web</p>"));
  main_window.Eval("localStorage.setItem('server', 'tokyo');");
  EXPECT_EQ(web_window.Eval("localStorage.getItem('server')"), "tokyo");
  web_window.Eval("localStorage.setItem('token', 'abc');");
  main_window.Eval("localStorage.setItem('mode', 'fast');");
  main_window.DestroyView();
  web_window.DestroyView();
  EnginePage later;
  ::wkeSetLocalStorageFullPath(later.view(), folder.c_str());
  ASSERT_TRUE(later.Load("<p>later</p>"));
  EXPECT_EQ(later.Eval("['server', 'token', 'mode'].map(function (k) { return localStorage.getItem(k); }).join()"),
            "tokyo,abc,fast");
}

// The engine runs elevated: a storage folder that is a link keeps the store
// in memory, and a second name planted where the store's temporary file goes
// is refused; neither writes to the file or folder it names.
TEST(EnginePageEnvironment, LocalStorageIsNeverWrittenThroughALink) {
  ScopedTempDir storage;
  ScopedTempDir outside;
  const std::wstring linked = storage.path() + L"\\linked";
  ASSERT_TRUE(PlantFolderLink(linked, outside.path()));
  {
    EnginePage page;
    ::wkeSetLocalStorageFullPath(page.view(), linked.c_str());
    ASSERT_TRUE(page.Load("<p>linked</p>"));
    page.Eval("localStorage.setItem('server', 'tokyo');");
    EXPECT_EQ(page.Eval("localStorage.getItem('server')"), "tokyo");
  }
  WIN32_FIND_DATAW entry;
  EXPECT_EQ(::FindFirstFileW((outside.path() + L"\\*.dat*").c_str(), &entry), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(RemoveLink(linked));

  const std::wstring folder = storage.path() + L"\\LocalStorage";
  EnginePage page;
  ::wkeSetLocalStorageFullPath(page.view(), folder.c_str());
  ASSERT_TRUE(page.Load("<p>own</p>"));
  page.Eval("localStorage.setItem('server', 'tokyo');");
  const HANDLE find = ::FindFirstFileW((folder + L"\\localstorage-*.dat").c_str(), &entry);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  ::FindClose(find);
  const std::wstring store = folder + L"\\" + entry.cFileName;
  const std::string saved = ReadWholeFile(store);
  const std::wstring target = outside.path() + L"\\victim";
  {
    FileHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), "keep", 4, &written, nullptr);
  }
  ASSERT_TRUE(::CreateHardLinkW((store + L".tmp").c_str(), target.c_str(), nullptr));
  page.Eval("localStorage.setItem('server', 'osaka');");
  EXPECT_EQ(ReadWholeFile(target), "keep");
  EXPECT_EQ(ReadWholeFile(store), saved);
}

TEST(EnginePageEnvironment, AScriptErrorIsReportedAndLaterScriptsStillRun) {
  EnginePage page;
  ASSERT_TRUE(
      page.Load("<script>var errors = []; console.error = function (m) { errors.push(m); };</script>"
                "<script>this is not script</script>"
                "<script>throw new Error('boom');</script><script>var after = true;</script>"));
  EXPECT_EQ(page.Eval("String(after)"), "true");
  // Errors of a page go to the engine's console, not to the page's own.
  EXPECT_EQ(page.Eval("errors.length"), "0");
  const std::vector<std::wstring> lines = page.ConsoleLines();
  // The inspector line, then one error per failed script, in order.
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind(L"[error] Uncaught SyntaxError", 0), 0u) << lines[1].c_str();
  EXPECT_EQ(lines[2].rfind(L"[error] Uncaught Error: boom", 0), 0u) << lines[2].c_str();
  EXPECT_EQ(page.Eval("String(jsonless = JSON.parse('{\"a\":[1,2]}').a[1])"), "2");
}

// A page whose button runs `run()` on a click and keeps what it answered
// in `result`: files are saved only from a person's click or key.
const char kSavePage[] =
    "<button id=save style='position:fixed;left:0;top:0;width:60px;height:30px'"
    " onclick='result = String(run())'>save</button>";

// Clicks the page's button as a person would and answers `result`.
std::string ClickToRun(EnginePage& page) {
  page.Eval("result = 'no click'");
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONDOWN, 10, 10, MK_LBUTTON);
  ::wkeFireMouseEvent(page.view(), WM_LBUTTONUP, 10, 10, 0);
  return page.Eval("result");
}

std::string Console(const EnginePage& page) {
  std::string text;
  for (const std::wstring& line : page.ConsoleLines()) {
    for (wchar_t c : line) text += static_cast<char>(c < 0x80 ? c : '?');
    text += '\n';
  }
  return text;
}

// The page knows its address and the user's language, builds blobs from
// buffers, views and text, and offers one for saving from a click: the
// save dialog writes exactly its bytes, a cancelled one writes nothing.
TEST(EnginePageEnvironment, LocationLanguageAndBlobsSavedThroughTheSaveDialog) {
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "mainView", "1");
  ASSERT_TRUE(page.Load(kSavePage));
  EXPECT_EQ(page.Eval("/^file:.*page\\.html$/.test(location.href)"), "true") << page.Eval("location.href");
  EXPECT_EQ(page.Eval("/^[a-z]{2,3}(-|$)/i.test(navigator.language)"), "true") << page.Eval("navigator.language");
  page.Eval(
      "var buffer = new Uint8Array([80, 75, 0, 255]).buffer;"
      "var blob = new Blob([buffer, '\u00e9', new Uint8Array([1, 2, 3]).subarray(1)], {type: 'Application/Zip'});");
  EXPECT_EQ(page.Eval("blob.size + ' ' + blob.type"), "8 application/zip");

  const std::wstring target = page.folder() + L"\\saved.zip";
  page.Eval("var run = function () { return navigator.msSaveBlob(blob, '..\\\\evil/logs.zip'); }");
  std::thread answer([&] { AnswerFileDialog(target); });
  EXPECT_EQ(ClickToRun(page), "true");
  answer.join();
  EXPECT_EQ(ReadWholeFile(target), std::string("PK\0\xff\xc3\xa9\x02\x03", 8));

  page.Eval("var run = function () { return navigator.msSaveBlob(new Blob(['other'], {type: 'text/plain'}), 'o'); }");
  std::thread cancel([&] { AnswerFileDialog(L""); });
  EXPECT_EQ(ClickToRun(page), "false");
  cancel.join();

  // A file the person has open elsewhere, which may be deleted but not
  // written: the save fails and the file is left as it was.
  const std::wstring busy = page.folder() + L"\\busy.zip";
  {
    FileHandle other(::CreateFileW(busy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(other);
    DWORD wrote = 0;
    ASSERT_TRUE(::WriteFile(other.get(), "mine", 4, &wrote, nullptr));
    page.Eval(
        "var run = function () { return navigator.msSaveBlob(new Blob(['new'], {type: 'application/zip'}),"
        " 'busy.zip'); }");
    std::thread replace([&] { EXPECT_TRUE(AnswerFileDialog(busy, true)); });
    EXPECT_EQ(ClickToRun(page), "false");
    replace.join();
  }
  EXPECT_EQ(ReadWholeFile(busy), "mine");
  EXPECT_EQ(page.Eval("var thrown = ''; try { navigator.msSaveBlob('text', 'a.txt'); } catch (e) { thrown = e.name; }"
                      " thrown"),
            "TypeError");
}

// Saving is the client's own page's, for a person's click or key, once per
// click, and only for blob types it knows: any other page, a timer or a
// script's own click opens no dialog.
TEST(EngineSaveBlob, OnlyTheMainPageSavesAndOnlyFromAPersonsClick) {
  EnginePage other;
  ASSERT_TRUE(other.Load(kSavePage));
  EXPECT_EQ(other.Eval("typeof navigator.msSaveBlob"), "undefined");

  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "mainView", "1");
  ASSERT_TRUE(page.Load(kSavePage));
  page.Eval("var zip = new Blob(['PK'], {type: 'application/zip'});");
  // No dialog may come for any of these; one that did would wait for good.
  EXPECT_EQ(page.Eval("String(navigator.msSaveBlob(zip, 'a.zip'))"), "false");
  EXPECT_EQ(page.Eval("var run = function () { return navigator.msSaveBlob(zip, 'a.zip'); };"
                      "document.getElementById('save').click(); result"),
            "false");
  page.Eval("var late = 'none'; setTimeout(function () { late = String(navigator.msSaveBlob(zip, 'a.zip')); }, 0);");
  PumpMessagesFor(200);
  EXPECT_EQ(page.Eval("late"), "false");
  page.Eval("var run = function () { return navigator.msSaveBlob(new Blob(['MZ'], {type: ''}), 'wke.dll'); }");
  EXPECT_EQ(ClickToRun(page), "false");
  // One dialog per click: a second save in the same handler is refused.
  page.Eval(
      "var run = function () { var first = navigator.msSaveBlob(zip, 'a.zip');"
      " return first + ' ' + navigator.msSaveBlob(zip, 'b.zip'); }");
  std::thread cancel([&] { AnswerFileDialog(L""); });
  EXPECT_EQ(ClickToRun(page), "false false");
  cancel.join();
  const std::string console = Console(page);
  EXPECT_NE(console.find("msSaveBlob refused: a file is saved only from a click or key handler"), std::string::npos)
      << console;
  EXPECT_NE(console.find("msSaveBlob refused: no file type for a blob of type \"\""), std::string::npos) << console;
}

// Where the person points the dialog is checked on the opened file: no
// program or link names, nothing in the application's (or Windows')
// folder, no file with a second name; a refused file is left as it was.
TEST(EngineSaveBlob, ProgramNamesProtectedFoldersAndLinkedFilesAreRefused) {
  EnginePage page;
  ::wkeSetDebugConfig(page.view(), "mainView", "1");
  ASSERT_TRUE(page.Load(kSavePage));
  page.Eval(
      "var run = function () { return navigator.msSaveBlob(new Blob(['MZ'], {type: 'application/zip'}),"
      " 'logs.zip'); }");
  auto save_to = [&](const std::wstring& path, bool overwrite) {
    std::thread answer([&] { AnswerFileDialog(path, overwrite); });
    const std::string result = ClickToRun(page);
    answer.join();
    return result;
  };
  const std::wstring program = page.folder() + L"\\wke.dll";
  EXPECT_EQ(save_to(program, false), "false");
  EXPECT_EQ(::GetFileAttributesW(program.c_str()), INVALID_FILE_ATTRIBUTES);
  const std::wstring dotted = page.folder() + L"\\setup.exe.";
  EXPECT_EQ(save_to(dotted, false), "false");
  EXPECT_EQ(::GetFileAttributesW((page.folder() + L"\\setup.exe").c_str()), INVALID_FILE_ATTRIBUTES);

  // The application's folder is the test's own.
  wchar_t module[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring application(module);
  application.resize(application.find_last_of(L'\\'));
  const std::wstring planted = application + L"\\planted.zip";
  EXPECT_EQ(save_to(planted, false), "false");
  EXPECT_EQ(::GetFileAttributesW(planted.c_str()), INVALID_FILE_ATTRIBUTES);
  ::DeleteFileW(planted.c_str());

  // A second name of a file elsewhere: writing would change that file.
  const std::wstring original = page.folder() + L"\\original.txt";
  const std::wstring alias = page.folder() + L"\\alias.zip";
  ASSERT_TRUE(WriteWholeFile(original, "kept"));
  ASSERT_TRUE(::CreateHardLinkW(alias.c_str(), original.c_str(), nullptr));
  EXPECT_EQ(save_to(alias, true), "false");
  EXPECT_EQ(ReadWholeFile(original), "kept");

  EXPECT_EQ(save_to(page.folder() + L"\\fine.zip", false), "true");
  EXPECT_EQ(ReadWholeFile(page.folder() + L"\\fine.zip"), "MZ");
  const std::string console = Console(page);
  EXPECT_NE(console.find("a page may not save a program or a link"), std::string::npos) << console;
  EXPECT_NE(console.find("it lies in the Windows, Program Files or application folder"), std::string::npos) << console;
  EXPECT_NE(console.find("it is a link, or has more than one name"), std::string::npos) << console;
}

}  // namespace
}  // namespace halyx::testing
