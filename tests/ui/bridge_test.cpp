#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/log_capture.h"
#include "support/message_pump.h"
#include "ui/bridge_function.h"
#include "ui/bridge_object.h"
#include "ui/js_object.h"
#include "ui/page_script.h"

namespace halyx::testing {
namespace {

int g_bridges_destroyed = 0;
int g_objects_destroyed = 0;

// A small bridge object of our own: Echo answers at once, with the number of
// arguments it received, and later through the page's PostResult.
class EchoBridge : public BridgeObject {
 public:
  EchoBridge(jsExecState es, wkeWebView view) : BridgeObject(es, "EchoBridge"), view_(view) {
    AddFunction(es, *new BridgeFunction<EchoBridge>(es, "Echo", this, &EchoBridge::Echo));
  }
  ~EchoBridge() override { ++g_bridges_destroyed; }

  jsValue Echo(jsExecState es, jsValue* args, int argc) {
    const std::string text = argc > 0 ? ::jsToTempString(es, args[0]) : "";
    PageScript::PostJson(view_, "{\"type\":\"Echo\",\"text\":\"later " + text + "\"}");
    return ::jsString(es, ("now " + text + " of " + std::to_string(argc)).c_str());
  }

 private:
  wkeWebView view_;
};

class CountedObject : public JsObject {
 public:
  using JsObject::JsObject;
  ~CountedObject() override { ++g_objects_destroyed; }
};

const char kPage[] =
    "<script>var received = [];"
    "var HalyxBridge = { PostResult: function (o) { received.push(o); } };</script>";

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_bridges_destroyed = 0;
    g_objects_destroyed = 0;
    ASSERT_TRUE(page_.Load(kPage));
    ::jsSetGlobal(page_.es(), "TestDispatch", (new EchoBridge(page_.es(), page_.view()))->value());
  }

  EnginePage page_;
};

// A page calls native functions through the bridge object and hears back
// both as the call's result and through HalyxBridge.PostResult.
TEST_F(BridgeTest, PageCallGetsAnAnswerNowAndThroughPostResult) {
  EXPECT_EQ(page_.Eval("TestDispatch.Echo('hi')"), "now hi of 1");
  EXPECT_EQ(page_.Eval("TestDispatch.Echo() + ', ' + TestDispatch.Echo(1, 'a', null)"), "now  of 0, now 1 of 3");
  EXPECT_EQ(page_.Eval("received.length + ' ' + received[0].type + ' ' + received[0].text"), "3 Echo later hi");
}

// A name the object does not have reads as undefined, with one debug line.
TEST_F(BridgeTest, AnUnregisteredNameIsUndefinedWithOneDebugLine) {
  LogCapture log;
  EXPECT_EQ(page_.Eval("typeof TestDispatch.NoSuchFunction"), "undefined");
  const auto records = log.Records();
  EXPECT_EQ(std::count_if(records.begin(), records.end(),
                          [](const auto& r) { return r.text.find("BridgeObject::GetFunction") != std::string::npos; }),
            1);
  EXPECT_TRUE(log.Has(spdlog::level::debug, "halyx::BridgeObject::GetFunction: out of range: NoSuchFunction"));
}

// Wrappers belong to the engine: each is destroyed exactly once, when its
// script object is collected or with the page; a function the page kept from
// a collected bridge answers undefined.
TEST_F(BridgeTest, WrappersAreDestroyedOnceAndKeptFunctionsGoQuiet) {
  page_.Eval("var kept = TestDispatch.Echo; TestDispatch = undefined;");
  auto* published = new CountedObject(page_.es());
  published->SetMember(page_.es(), "n", ::jsInt(5));
  ::jsSetGlobal(page_.es(), "published", published->value());
  new CountedObject(page_.es());  // never published
  ASSERT_TRUE(PumpMessagesUntil([] { return g_bridges_destroyed == 1 && g_objects_destroyed == 1; }));
  EXPECT_EQ(page_.Eval("String(kept('x'))"), "undefined");
  EXPECT_EQ(page_.Eval("published.n + ' ' + typeof published.missing"), "5 undefined");
  page_.DestroyView();
  EXPECT_EQ(g_objects_destroyed, 2);
  PumpMessagesFor(50);
  EXPECT_EQ(g_bridges_destroyed, 1);
  EXPECT_EQ(g_objects_destroyed, 2);
}

}  // namespace
}  // namespace halyx::testing
