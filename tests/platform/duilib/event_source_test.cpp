// Event sources call their subscribers in order, stop at the first refusal,
// and cope with subscribers that leave while the source fires.
#include "platform/duilib/event_source.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace DuiLib {
namespace {

struct Listener {
  Listener(std::vector<std::string>& calls, std::string name, bool answer = true)
      : calls(calls), name(std::move(name)), answer(answer) {}
  bool OnEvent(void* param) {
    calls.push_back(name + ":" + *static_cast<std::string*>(param));
    if (leaveFrom) *leaveFrom -= MakeDelegate(leaving, &Listener::OnEvent);
    return answer;
  }
  std::vector<std::string>& calls;
  std::string name;
  bool answer;
  CEventSource* leaveFrom = nullptr;
  Listener* leaving = nullptr;
};

TEST(CEventSource, FiresInSubscriptionOrderUntilOneRefuses) {
  std::vector<std::string> calls;
  Listener a(calls, "a"), b(calls, "b", false), c(calls, "c");
  CEventSource source;
  EXPECT_FALSE(source);
  std::string event = "e1";
  EXPECT_TRUE(source(&event));  // nobody listens: nothing refuses

  source += MakeDelegate(&a, &Listener::OnEvent);
  source += MakeDelegate(&b, &Listener::OnEvent);
  source += MakeDelegate(&c, &Listener::OnEvent);
  EXPECT_TRUE(source);
  EXPECT_FALSE(source(&event));
  EXPECT_EQ(calls, (std::vector<std::string>{"a:e1", "b:e1"}));

  calls.clear();
  source -= MakeDelegate(&b, &Listener::OnEvent);
  event = "e2";
  EXPECT_TRUE(source(&event));
  EXPECT_EQ(calls, (std::vector<std::string>{"a:e2", "c:e2"}));
}

TEST(CEventSource, RemovesOnlyTheMatchingObjectAndFunction) {
  std::vector<std::string> calls;
  Listener a(calls, "a"), other(calls, "other");
  CEventSource source;
  source += MakeDelegate(&a, &Listener::OnEvent);
  source -= MakeDelegate(&other, &Listener::OnEvent);  // never subscribed
  EXPECT_TRUE(source);
  source -= MakeDelegate(&a, &Listener::OnEvent);
  EXPECT_FALSE(source);
}

TEST(CEventSource, SubscriberRemovedWhileFiringIsNotCalled) {
  std::vector<std::string> calls;
  Listener a(calls, "a"), b(calls, "b");
  CEventSource source;
  source += MakeDelegate(&a, &Listener::OnEvent);
  source += MakeDelegate(&b, &Listener::OnEvent);
  a.leaveFrom = &source;  // a unsubscribes b on its first call
  a.leaving = &b;
  std::string event = "e";
  EXPECT_TRUE(source(&event));
  EXPECT_EQ(calls, (std::vector<std::string>{"a:e"}));

  a.leaving = &a;  // and now itself
  calls.clear();
  EXPECT_TRUE(source(&event));
  EXPECT_EQ(calls, (std::vector<std::string>{"a:e"}));
  EXPECT_FALSE(source);
}

}  // namespace
}  // namespace DuiLib
