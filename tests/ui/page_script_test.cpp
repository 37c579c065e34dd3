#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/log_capture.h"
#include "ui/page_script.h"

namespace halyx::testing {
namespace {

class PageScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        page_.Load("<script>var received = [];"
                   "var HalyxBridge = { PostResult: function (o) { received.push(o); } };"
                   "var errors = []; console.error = function (m) { errors.push(m); };</script>"));
  }

  EnginePage page_;
};

// The texts sent to the page: the notice format and the exact script.
TEST(PageScriptText, ResultNoticeAndItsScriptAreExact) {
  EXPECT_EQ(PageScript::ResultNotice("LoadConfig", 1), "{\"type\":\"LoadConfig\",\"result\":1}");
  EXPECT_EQ(PageScript::PostResultScript(PageScript::ResultNotice("LoadConfig", 1)),
            "HalyxBridge.PostResult(JSON.parse('{\"type\":\"LoadConfig\",\"result\":1}'))");
  EXPECT_EQ(PageScript::PostResultScript(std::wstring(L"{\"a\":\"x\\\\y\"}")),
            L"HalyxBridge.PostResult(JSON.parse('{\"a\":\"x\\\\\\\\y\"}'))");
}

// Whatever a JSON text holds, JSON.parse in the page sees it unchanged:
// backslash escapes, apostrophes and every kind of line terminator.
TEST_F(PageScriptTest, JsonTextsArriveUnchangedInNarrowAndWideForm) {
  const struct {
    const char* name;
    std::string json, expected;
  } cases[] = {
      // expected: JSON.stringify
      {"escaped line break", "{\"text\":\"a\\nb\"}", "{\"text\":\"a\\nb\"}"},
      {"escaped backslash", "{\"path\":\"C:\\\\bin\"}", "{\"path\":\"C:\\\\bin\"}"},
      {"apostrophe", "{\"text\":\"it's\"}", "{\"text\":\"it's\"}"},
      {"raw line breaks between members", "{\"a\":1,\r\n\"b\":2}", "{\"a\":1,\"b\":2}"},
      {"line and paragraph separators", "{\"text\":\"x\xE2\x80\xA8y\xE2\x80\xA9z\"}",
       "{\"text\":\"x\\u2028y\\u2029z\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    page_.Eval("received = [];");
    PageScript::PostJson(page_.view(), c.json);
    const std::wstring wide = ::jsToTempStringW(page_.es(), ::jsString(page_.es(), c.json.c_str()));
    ::jsEvalW(page_.es(), PageScript::PostResultScript(wide).c_str());
    EXPECT_EQ(page_.Eval("received.map(function (r) { return JSON.stringify(r); }).join('|')"),
              c.expected + "|" + c.expected);
  }
}

// The log archive reaches the page as an object with an ArrayBuffer and
// leaves no global behind; an empty one is result 3 without files.
TEST_F(PageScriptTest, LogArchiveArrivesAsArrayBufferOrResultThree) {
  const char bytes[] = {'P', 'K', 3, 4, 0, '\xff'};
  PageScript::PostLogArchive(page_.view(), bytes, sizeof(bytes));
  EXPECT_EQ(page_.Eval("var r = received[0]; r.type + ' ' + r.result + ' ' + Object.keys(r).sort() + ' ' + "
                       "(r.files['log.zip'] instanceof ArrayBuffer) + ' ' + "
                       "Array.prototype.join.call(new Uint8Array(r.files['log.zip']), ',') + ' ' + typeof __halyx_log"),
            "GetLogFiles 0 files,result,type true 80,75,3,4,0,255 undefined");
  LogCapture log;
  PageScript::PostLogArchive(page_.view(), nullptr, 0);
  EXPECT_EQ(page_.Eval("var r = received[1]; r.type + ' ' + r.result + ' ' + ('files' in r)"), "GetLogFiles 3 false");
  EXPECT_EQ(page_.Eval("typeof __halyx_log"), "undefined");
  EXPECT_TRUE(log.Has(spdlog::level::warn, "QuorDispatch: LogZipper got empty buffer"));
}

// A page that froze its global object or set traps for the archive only
// loses the archive (or nothing): the client goes on.
TEST(PageScriptHostilePage, TheLogArchiveSurvivesFrozenAndTrappedPages) {
  const struct {
    const char* trap;
    const char* received;
  } cases[] = {
      {"Object.freeze(this);", "0"},
      {"Object.defineProperty(this, '__halyx_log', { set: function () { throw new Error('trap'); } });", "0"},
      {"Object.defineProperty(Object.prototype, 'files', { set: function () { throw new Error('trap'); } });",
       "1 GetLogFiles 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trap);
    EnginePage page;
    ASSERT_TRUE(page.Load(std::string("<script>var received = [];"
                                      "var HalyxBridge = { PostResult: function (o) { received.push(o); } };") +
                          c.trap + "</script>"));
    const char bytes[] = {'P', 'K'};
    PageScript::PostLogArchive(page.view(), bytes, sizeof(bytes));
    // No new globals: the page may have frozen its global object.
    EXPECT_EQ(page.Eval("(function () { var got = received.filter(function (r) { return r; });"
                        "return got.length + (got.length ? ' ' + got[0].type + ' ' + got[0].files['log.zip'].byteLength"
                        " : ''); })()"),
              c.received);
  }
}

// Errors reported to the page land in its console, even with apostrophes;
// without a view nothing happens.
TEST_F(PageScriptTest, ReportedErrorsReachConsoleErrorUnchanged) {
  PageScript::ReportError(page_.es(), "LoadConfig: invalid argument");
  PageScript::ReportError(page_.es(), "can't parse C:\\conf");
  EXPECT_EQ(page_.Eval("errors.join('|')"), "LoadConfig: invalid argument|can't parse C:\\conf");
  PageScript::PostJson(nullptr, "{}");
  PageScript::PostLogArchive(nullptr, "x", 1);
  PageScript::ReportError(nullptr, "x");
}

}  // namespace
}  // namespace halyx::testing
