// Reads a window's accessible objects the way a screen reader does, through
// the system's entry points (AccessibleObjectFromWindow, AccessibleChildren,
// AccessibleObjectFromEvent), and records the WinEvents this process raises.
//
//   AccessibleReader reader;                       // hooks the events
//   auto nodes = AccessibleReader::Walk(root.Get());
//   const AccessibleReader::Node* connect = AccessibleReader::Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"Connect");
//   PumpMessagesUntil([&] { return reader.Saw(EVENT_OBJECT_FOCUS); });
//
// The hook is out of context: its events arrive through this thread's
// message loop, so they are seen only while it pumps.
//
// Thread: the test's thread, which must have COM initialised.
#pragma once

#include <windows.h>

#include <oleacc.h>
#include <wrl/client.h>

#include <string>
#include <vector>

namespace halyx::testing {

class AccessibleReader {
 public:
  struct Node {
    Microsoft::WRL::ComPtr<IAccessible> object;  // the node's own object
    int depth = 0;
    long role = 0;          // a ROLE_SYSTEM_* value, or 0 for a text role
    std::wstring roleText;  // a role given as text ("h1")
    std::wstring name;
    std::wstring value;
    long state = 0;
  };
  struct Event {
    DWORD event;
    HWND window;
    LONG object;
    LONG child;
  };

  AccessibleReader();
  ~AccessibleReader();
  AccessibleReader(const AccessibleReader&) = delete;
  AccessibleReader& operator=(const AccessibleReader&) = delete;

  // The VARIANT that names an object itself (CHILDID_SELF) in IAccessible calls.
  static VARIANT Self();
  // The window's client object; null when it has none.
  static Microsoft::WRL::ComPtr<IAccessible> ClientOf(HWND window);
  // Every node under `root`, depth first, read through AccessibleChildren;
  // at most `limit` nodes.
  static std::vector<Node> Walk(IAccessible* root, std::size_t limit = 5000);
  static Node Read(IAccessible* object, int depth);
  // The first node with the role and name, or null.
  static const Node* Find(const std::vector<Node>& nodes, long role, const std::wstring& name);

  const std::vector<Event>& events() const { return events_; }
  void Clear() { events_.clear(); }
  bool Saw(DWORD event) const;
  // The object an event names, as a reader gets it; null when it does not
  // resolve.
  static Microsoft::WRL::ComPtr<IAccessible> ObjectOf(const Event& event);

 private:
  static void CALLBACK OnEvent(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object, LONG child, DWORD thread,
                               DWORD time);

  HWINEVENTHOOK hook_ = nullptr;
  std::vector<Event> events_;
};

}  // namespace halyx::testing
