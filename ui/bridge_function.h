// One native function as a script function object: calling it from the page
// calls `callback(*owner, es, args, argc)` and returns what it answers.
//
// The page's `this` is not passed on. Arguments are the engine's values,
// valid for the call only; `argc` is the count the page passed, and the
// callback must not read at or beyond it. An exception from the callback is
// logged and the page receives undefined.
//
// Ownership: created with new; only its finalize callback deletes it. The
// owner is not owned. A page may keep a function after its bridge object was
// collected (`var f = HalyxDispatch.LoadConfig` across a reload), so when
// the owner offers `life()` (BridgeObject does) a call after the owner's end
// answers undefined instead of reaching a deleted object.
//
// Thread: GUI thread.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include <spdlog/spdlog.h>

#include "ui/bridge_callback.h"
#include "ui/js_data_record.h"
#include "ui/wke_binding.h"

namespace halyx {
namespace detail {

template <class T, class = void>
struct HasLife : std::false_type {};
template <class T>
struct HasLife<T, std::void_t<decltype(std::declval<const T&>().life())>> : std::true_type {};

}  // namespace detail

template <class T>
class BridgeFunction {
 public:
  BridgeFunction(jsExecState es, const char* name, T* owner, BridgeCallback<T> callback)
      : data_(this, name), value_(0), owner_(owner), callback_(std::move(callback)) {
    if constexpr (detail::HasLife<T>::value) {
      if (owner_ != nullptr) ownerLife_ = owner_->life();
      tracksOwner_ = true;
    }
    data_.data.finalize = &JsDataRecord<BridgeFunction>::DeleteOwner;
    data_.data.callAsFunction = &BridgeFunction::OnCall;
    value_ = ::jsFunction(es, &data_.data);
  }
  virtual ~BridgeFunction() = default;
  BridgeFunction(const BridgeFunction&) = delete;
  BridgeFunction& operator=(const BridgeFunction&) = delete;

  jsValue value() const { return value_; }
  std::string name() const { return data_.data.typeName; }

 private:
  friend struct JsDataRecord<BridgeFunction>;
  static constexpr const char* kLogName = "halyx::BridgeFunction::Call";

  static jsValue WKE_CALL_TYPE OnCall(jsExecState es, jsValue object, jsValue* args, int argc) {
    return GuardedWith(::jsUndefined(), JsDataRecord<BridgeFunction>::ReportFailure, [&]() -> jsValue {
      jsData* data = ::jsGetData(es, object);
      if (data == nullptr || data->callAsFunction != &BridgeFunction::OnCall) return ::jsUndefined();
      BridgeFunction* self = JsDataRecord<BridgeFunction>::From(data);
      if (self->owner_ == nullptr || !self->callback_) return ::jsUndefined();
      if (self->tracksOwner_ && self->ownerLife_.expired()) {
        spdlog::debug("halyx::BridgeFunction::Call: {}: its object is gone", self->name());
        return ::jsUndefined();
      }
      return self->callback_(*self->owner_, es, args, argc < 0 ? 0 : argc);
    });
  }

  JsDataRecord<BridgeFunction> data_;
  jsValue value_;
  T* owner_;
  BridgeCallback<T> callback_;
  std::weak_ptr<void> ownerLife_;
  bool tracksOwner_ = false;
};

}  // namespace halyx
