// Event sources and delegates of our window-framework layer.
//
// A CEventSource holds copies of delegates; firing it calls them in
// subscription order with one void* argument and stops at the first one that
// answers false.
//
//   class Page { public: bool OnTunnelEvent(void* event); };
//   CEventSource onTunnelEvent;
//   onTunnelEvent += MakeDelegate(&page, &Page::OnTunnelEvent);
//   if (onTunnelEvent) onTunnelEvent(&text);   // fire only when someone listens
//   onTunnelEvent -= MakeDelegate(&page, &Page::OnTunnelEvent);
//
// A delegate removed while the source fires (a subscriber unsubscribing itself
// or another) is not called afterwards, so an object may unsubscribe and go
// away from inside a callback.
//
// Thread: subscribers run synchronously on the firing thread; a source is used
// from one thread.
#pragma once

#include <memory>
#include <vector>

namespace DuiLib {

class CDelegateBase {
 public:
  virtual ~CDelegateBase() = default;

  bool operator()(void* param) { return Invoke(param); }
  virtual CDelegateBase* Copy() const = 0;
  // True when both call the same function on the same object.
  virtual bool Equals(const CDelegateBase& other) const = 0;

 protected:
  virtual bool Invoke(void* param) = 0;
};

// Calls `fn` on `object`. O is the object's type, T the class declaring `fn`
// (O itself or one of its bases).
template <class O, class T>
class CDelegate : public CDelegateBase {
 public:
  using Fn = bool (T::*)(void*);

  CDelegate(O* object, Fn fn) : object_(object), fn_(fn) {}

  CDelegateBase* Copy() const override { return new CDelegate(*this); }
  bool Equals(const CDelegateBase& other) const override {
    const auto* same = dynamic_cast<const CDelegate*>(&other);
    return same != nullptr && same->object_ == object_ && same->fn_ == fn_;
  }

 protected:
  bool Invoke(void* param) override { return (object_->*fn_)(param); }

 private:
  O* object_;
  Fn fn_;
};

template <class O, class T>
CDelegate<O, T> MakeDelegate(O* object, bool (T::*fn)(void*)) {
  return CDelegate<O, T>(object, fn);
}

class CEventSource {
 public:
  CEventSource() = default;
  CEventSource(const CEventSource&) = delete;
  CEventSource& operator=(const CEventSource&) = delete;

  // True when at least one delegate is subscribed.
  explicit operator bool() const { return !delegates_.empty(); }

  void operator+=(const CDelegateBase& delegate);
  // Removes the first subscription equal to `delegate`, if any.
  void operator-=(const CDelegateBase& delegate);

  // Calls every delegate in subscription order; false as soon as one answers
  // false (the rest are not called), true otherwise.
  bool operator()(void* param);

 private:
  struct Entry {
    std::unique_ptr<CDelegateBase> delegate;
    bool removed = false;
  };
  std::vector<std::shared_ptr<Entry>> delegates_;
};

}  // namespace DuiLib
