#include <string>

#include <gtest/gtest.h>

#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

// A native object's record with a finalize counter and a get callback that
// answers one stored value.
struct CountedData {
  jsData data{};
  int finalized = 0;
  jsValue stored = 0;

  CountedData() {
    data.finalize = [](jsData* d) { ++reinterpret_cast<CountedData*>(d)->finalized; };
    data.propertyGet = [](jsExecState es, jsValue object, const char* name) -> jsValue {
      auto* self = reinterpret_cast<CountedData*>(::jsGetData(es, object));
      return std::string(name) == "stored" ? self->stored : ::jsUndefined();
    };
  }
};

// Script values: handles keep their kind, native objects are finalized
// exactly once, when collected or with the view.
TEST(EngineScriptValues, HandlesKeepTheirKindAndConvert) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p>values</p>"));
  jsExecState es = page.es();
  struct Case {
    jsValue value;
    bool is_string;
    bool is_number;
    int as_int;
    const char* as_text;
  } const cases[] = {
      {::jsUndefined(), false, false, 0, "undefined"},
      {::jsInt(-7), false, true, -7, "-7"},
      {::jsString(es, "42"), true, false, 42, "42"},
      {::jsString(es, "caf\xC3\xA9"), true, false, 0, "caf\xC3\xA9"},
      {::jsEval(es, "2.5"), false, true, 2, "2.5"},
      {::jsEval(es, "({})"), false, false, 0, "[object Object]"},
      {::jsEval(es, "syntax error here"), false, false, 0, "undefined"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.as_text);
    EXPECT_EQ(::jsIsString(c.value), c.is_string);
    EXPECT_EQ(::jsIsNumber(c.value), c.is_number);
    EXPECT_EQ(::jsToInt(es, c.value), c.as_int);
    EXPECT_EQ(std::string(::jsToTempString(es, c.value)), c.as_text);
  }
  EXPECT_STREQ(::jsToTempStringW(es, ::jsString(es, "caf\xC3\xA9")), L"caf\u00e9");
}

TEST(EngineScriptValues, AnUnreferencedNativeObjectIsFinalizedOnceAfterTheTurn) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p>gc</p>"));
  CountedData counted;
  ::jsObject(page.es(), &counted.data);
  EXPECT_EQ(counted.finalized, 0);  // the handle is good for the rest of the turn
  ASSERT_TRUE(PumpMessagesUntil([&] { return counted.finalized > 0; }));
  page.DestroyView();
  EXPECT_EQ(counted.finalized, 1);
}

TEST(EngineScriptValues, AGlobalKeepsItAliveUntilReleasedOrTheViewGoes) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p>gc</p>"));
  CountedData released, kept;
  ::jsSetGlobal(page.es(), "released", ::jsObject(page.es(), &released.data));
  ::jsSetGlobal(page.es(), "kept", ::jsObject(page.es(), &kept.data));
  PumpMessagesFor(50);
  EXPECT_EQ(released.finalized + kept.finalized, 0);
  page.Eval("released = undefined;");
  ASSERT_TRUE(PumpMessagesUntil([&] { return released.finalized > 0; }));
  EXPECT_EQ(kept.finalized, 0);
  page.DestroyView();
  EXPECT_EQ(kept.finalized, 1);
  EXPECT_EQ(released.finalized, 1);
}

TEST(EngineScriptValues, AValueSetOnANativeObjectOutlivesTheTurn) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p>members</p>"));
  CountedData counted;
  const jsValue object = ::jsObject(page.es(), &counted.data);
  counted.stored = ::jsString(page.es(), "kept text");
  ::jsSet(page.es(), object, "stored", counted.stored);
  ::jsSetGlobal(page.es(), "holder", object);
  PumpMessagesFor(50);  // the turn's handles are released
  EXPECT_EQ(page.Eval("holder.stored + ' ' + typeof holder.other + ' ' + Object.keys(holder).join()"),
            "kept text undefined stored");
}

TEST(EngineScriptValues, ReloadingFinalizesThePreviousPagesObjects) {
  EnginePage page;
  ASSERT_TRUE(page.Load("<p>one</p>"));
  CountedData counted;
  ::jsSetGlobal(page.es(), "held", ::jsObject(page.es(), &counted.data));
  ASSERT_TRUE(page.Load("<p>two</p>"));
  EXPECT_EQ(counted.finalized, 1);
  page.DestroyView();
  EXPECT_EQ(counted.finalized, 1);
}

// A native function may destroy the view whose page called it: the page's
// script finishes without calling back, and the view goes afterwards.
TEST(EngineScriptValues, AViewDestroyedFromItsOwnScriptGoesAfterTheScriptUnwinds) {
  EnginePage page;
  int alerts = 0;
  ::wkeOnAlertBox(
      page.view(), [](wkeWebView, void* p, const wkeString) { ++*static_cast<int*>(p); }, &alerts);
  ASSERT_TRUE(page.Load("<p>closing</p>"));
  struct Closer {
    jsData data{};
    wkeWebView view = nullptr;
    int finalized = 0;
  } closer;
  closer.view = page.view();
  closer.data.finalize = [](jsData* d) { ++reinterpret_cast<Closer*>(d)->finalized; };
  closer.data.callAsFunction = [](jsExecState es, jsValue object, jsValue*, int) -> jsValue {
    ::wkeDestroyWebView(reinterpret_cast<Closer*>(::jsGetData(es, object))->view);
    return ::jsInt(1);
  };
  ::jsSetGlobal(page.es(), "closeMe", ::jsFunction(page.es(), &closer.data));
  const jsExecState es = page.es();
  ::jsEval(es, "var r = closeMe(); alert('after ' + r);");
  EXPECT_EQ(alerts, 0);  // the gone view no longer calls back
  EXPECT_EQ(::wkeGlobalExec(page.view()), nullptr);
  EXPECT_EQ(closer.finalized, 0);  // its script was still running
  // The view really goes once the script has unwound: its page's objects
  // are finalized with it.
  ASSERT_TRUE(PumpMessagesUntil([&] { return closer.finalized == 1; }));
  // The page's own teardown destroys the handle again: a stale handle,
  // which the engine looks up rather than dereferences.
}

}  // namespace
}  // namespace halyx::testing
