#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/log_capture.h"
#include "ui/page_script.h"
#include "ui/replace_all.h"

namespace halyx::testing {
namespace {

const char kBridgePage[] =
    "<script>var received = [];"
    "var HalyxBridge = { PostResult: function (o) { received.push(o); } };"
    "var errors = []; console.error = function (m) { errors.push(m); };</script>";

// The texts sent to the page: the notice format and the exact script.
TEST(PageScriptText, ResultNoticeAndItsScriptAreExact) {
  EXPECT_EQ(PageScript::ResultNotice("LoadConfig", 1), "{\"type\":\"LoadConfig\",\"result\":1}");
  EXPECT_EQ(PageScript::PostResultScript(PageScript::ResultNotice("LoadConfig", 1)),
            "HalyxBridge.PostResult(JSON.parse('{\"type\":\"LoadConfig\",\"result\":1}'))");
  EXPECT_EQ(PageScript::PostResultScript(std::wstring(L"{\"a\":\"x\\\\y\"}")),
            L"HalyxBridge.PostResult(JSON.parse('{\"a\":\"x\\\\\\\\y\"}'))");
}

TEST(PageScriptText, ReplaceAllReplacesEveryOccurrenceOnce) {
  EXPECT_EQ(ReplaceAll("a\\b\\\\c", "\\", "\\\\"), "a\\\\b\\\\\\\\c");
  EXPECT_EQ(ReplaceAll(std::wstring(L"aaa"), L"a", L"aa"), L"aaaaaa");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
}

// Whatever a JSON text holds, JSON.parse in the page sees it unchanged:
// backslash escapes, apostrophes and every kind of line terminator.
TEST(PageScriptRoundTrip, JsonTextsArriveUnchangedInNarrowAndWideForm) {
  EnginePage page;
  ASSERT_TRUE(page.Load(kBridgePage));
  struct Case {
    const char* name;
    std::string json;
    std::string expected;  // JSON.stringify of what the page received
  } const cases[] = {
      {"escaped line break", "{\"text\":\"a\\nb\"}", "{\"text\":\"a\\nb\"}"},
      {"escaped backslash", "{\"path\":\"C:\\\\bin\"}", "{\"path\":\"C:\\\\bin\"}"},
      {"apostrophe", "{\"text\":\"it's\"}", "{\"text\":\"it's\"}"},
      {"raw line breaks between members", "{\"a\":1,\r\n\"b\":2}", "{\"a\":1,\"b\":2}"},
      {"line and paragraph separators", "{\"text\":\"x\xE2\x80\xA8y\xE2\x80\xA9z\"}",
       "{\"text\":\"x\\u2028y\\u2029z\"}"},  // JSON.stringify writes them as escapes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    page.Eval("received = [];");
    PageScript::PostJson(page.view(), c.json);
    EXPECT_EQ(page.Eval("received.length === 1 ? JSON.stringify(received[0]) : 'nothing'"), c.expected);

    page.Eval("received = [];");
    const std::wstring wide = ::jsToTempStringW(page.es(), ::jsString(page.es(), c.json.c_str()));
    ::jsEvalW(page.es(), PageScript::PostResultScript(wide).c_str());
    EXPECT_EQ(page.Eval("received.length === 1 ? JSON.stringify(received[0]) : 'nothing'"), c.expected);
  }
}

TEST(PageScriptRoundTrip, NothingHappensWithoutAView) {
  PageScript::PostJson(nullptr, "{}");
  PageScript::PostLogArchive(nullptr, "x", 1);
  PageScript::ReportError(nullptr, "x");
}

// The log archive reaches the page as an object with an ArrayBuffer, and
// leaves no global behind.
TEST(PageScriptLogArchive, ArchiveArrivesAsArrayBufferWithItsBytes) {
  EnginePage page;
  ASSERT_TRUE(page.Load(kBridgePage));
  const char bytes[] = {'P', 'K', 3, 4, 0, '\xff'};
  PageScript::PostLogArchive(page.view(), bytes, sizeof(bytes));
  EXPECT_EQ(page.Eval("var r = received[0]; r.type + ' ' + r.result + ' ' + "
                      "(r.files['log.zip'] instanceof ArrayBuffer) + ' ' + "
                      "Array.prototype.join.call(new Uint8Array(r.files['log.zip']), ',')"),
            "GetLogFiles 0 true 80,75,3,4,0,255");
  EXPECT_EQ(page.Eval("typeof __halyx_log"), "undefined");
  EXPECT_EQ(page.Eval("Object.keys(received[0]).sort().join()"), "files,result,type");
}

TEST(PageScriptLogArchive, EmptyArchiveArrivesAsResultThreeWithoutFiles) {
  EnginePage page;
  ASSERT_TRUE(page.Load(kBridgePage));
  LogCapture log;
  PageScript::PostLogArchive(page.view(), nullptr, 0);
  EXPECT_EQ(page.Eval("var r = received[0]; r.type + ' ' + r.result + ' ' + ('files' in r)"), "GetLogFiles 3 false");
  EXPECT_EQ(page.Eval("typeof __halyx_log"), "undefined");
  EXPECT_TRUE(log.Has(spdlog::level::warn, "QuorDispatch: LogZipper got empty buffer"));
}

// Errors reported to the page land in its console, even with apostrophes.
TEST(PageScriptReportError, TextReachesConsoleErrorUnchanged) {
  EnginePage page;
  ASSERT_TRUE(page.Load(kBridgePage));
  PageScript::ReportError(page.es(), "LoadConfig: invalid argument");
  PageScript::ReportError(page.es(), "can't parse C:\\conf");
  EXPECT_EQ(page.Eval("errors.join('|')"), "LoadConfig: invalid argument|can't parse C:\\conf");
}

}  // namespace
}  // namespace halyx::testing
