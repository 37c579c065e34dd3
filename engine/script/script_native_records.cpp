// The native side of script objects: the records behind objects that the
// embedder made (their data, finalizers run outside the interpreter), the
// property traps and calls that reach that data, and the sweep of DOM
// wrappers whose nodes are gone. Kept apart from the context's handle and
// value machinery in script_context.cpp.
#include <cstdint>
#include <string>
#include <utility>

#include "engine/script/script_context.h"
#include "engine/script/script_context_guards.h"
#include "engine/script/dom_bindings.h"
#include "base/guard.h"
#include "base/utf8.h"

namespace halyx::engine {

void ScriptContext::NoteWrapped(int index) {
  const auto k = static_cast<std::size_t>(index);
  if (wrapped_.size() <= k) wrapped_.resize(k + 1, 0);
  wrapped_[k] = 1;
}

void ScriptContext::SweepWrappers() {
  if (ctx_ == nullptr || depth_ > 0) return;
  DomBindings::SweepState state;
  state.wrapped = &wrapped_;
  auto sweep = [&state](duk_context* ctx) -> duk_ret_t { return DomBindings::Sweep(ctx, state); };
  Protected(sweep);
  duk_pop(ctx_);
}

void ScriptContext::FinalizeRecord(std::uint64_t id) {
  const auto found = records_.find(id);
  if (found == records_.end()) return;
  Record record = std::move(found->second);
  records_.erase(found);
  const auto by_ptr = recordByHeapptr_.find(record.heapptr);
  if (by_ptr != recordByHeapptr_.end() && by_ptr->second == id) recordByHeapptr_.erase(by_ptr);
  for (std::uint64_t slot : record.retained) {
    const auto held = slots_.find(slot);
    if (held == slots_.end()) continue;
    --held->second.retained;
    ReleaseSlot(slot);
  }
  if (record.data != nullptr && record.data->finalize != nullptr) {
    // The native side must not throw into the engine; nothing to undo.
    GuardedQuietly(false, [&] { record.data->finalize(record.data); });
  }
}

duk_ret_t ScriptContext::FinalizeNative(duk_context* ctx) {
  ScriptContext* self = From(ctx);
  if (self->destroying_) return 0;
  duk_get_prop_string(ctx, 0, kRecordKey);
  const auto id = static_cast<std::uint64_t>(duk_get_number_default(ctx, -1, 0));
  duk_pop(ctx);
  const auto found = self->records_.find(id);
  if (found == self->records_.end()) return 0;
  if (self->hostCalls_ > 0) {
    // Native code called from script is running (its own object may be the
    // one collected, through a reference the page dropped from inside the
    // call): the object is gone for script now, its native side goes when
    // the last such call has returned.
    const auto by_ptr = self->recordByHeapptr_.find(found->second.heapptr);
    if (by_ptr != self->recordByHeapptr_.end() && by_ptr->second == id) self->recordByHeapptr_.erase(by_ptr);
    found->second.heapptr = nullptr;
    found->second.target = nullptr;
    self->deferredFinalize_.push_back(id);
    return 0;
  }
  self->FinalizeRecord(id);
  return 0;
}

void ScriptContext::RunDeferredFinalizers() {
  while (!deferredFinalize_.empty() && hostCalls_ == 0) {
    const std::uint64_t id = deferredFinalize_.back();
    deferredFinalize_.pop_back();
    FinalizeRecord(id);
  }
}

duk_ret_t ScriptContext::GetTrap(duk_context* ctx) {
  // [target key receiver]
  ScriptContext* self = From(ctx);
  duk_get_prop_string(ctx, 0, kRecordKey);
  const auto id = static_cast<std::uint64_t>(duk_get_number_default(ctx, -1, 0));
  duk_pop(ctx);
  const auto record = self->records_.find(id);
  if (record == self->records_.end() || record->second.data->propertyGet == nullptr || !duk_is_string(ctx, 1) ||
      duk_is_symbol(ctx, 1)) {
    duk_dup(ctx, 1);
    duk_get_prop(ctx, 0);
    return 1;
  }
  const jsValue receiver = self->HandleOf(2);
  const std::string name = duk_get_string(ctx, 1);
  jsData* data = record->second.data;
  jsValue result = 0;
  {
    HostCall call(*self);
    result = GuardedQuietly(jsValue{0}, [&] { return data->propertyGet(self->es_, receiver, name.c_str()); });
  }
  self->Push(result);
  return 1;
}

duk_ret_t ScriptContext::SetTrap(duk_context* ctx) {
  // [target key value receiver]
  ScriptContext* self = From(ctx);
  duk_get_prop_string(ctx, 0, kRecordKey);
  const auto id = static_cast<std::uint64_t>(duk_get_number_default(ctx, -1, 0));
  duk_pop(ctx);
  const auto record = self->records_.find(id);
  bool handled = false;
  if (record != self->records_.end() && record->second.data->propertySet != nullptr && duk_is_string(ctx, 1) &&
      !duk_is_symbol(ctx, 1)) {
    const jsValue receiver = self->HandleOf(3);
    const jsValue value = self->HandleOf(2);
    const std::string name = duk_get_string(ctx, 1);
    jsData* data = record->second.data;
    HostCall call(*self);
    handled = GuardedQuietly(false, [&] { return data->propertySet(self->es_, receiver, name.c_str(), value); });
  }
  if (!handled) {
    duk_dup(ctx, 1);
    duk_dup(ctx, 2);
    duk_put_prop(ctx, 0);
  }
  duk_push_true(ctx);
  return 1;
}

duk_ret_t ScriptContext::CallNative(duk_context* ctx) {
  ScriptContext* self = From(ctx);
  const duk_idx_t argc = duk_get_top(ctx);
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, kRecordKey);
  const auto id = static_cast<std::uint64_t>(duk_get_number_default(ctx, -1, 0));
  duk_pop(ctx);
  const auto record = self->records_.find(id);
  if (record == self->records_.end() || record->second.data->callAsFunction == nullptr) return 0;
  const jsValue callee = self->HandleOf(-1);
  duk_pop(ctx);
  std::vector<jsValue> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (duk_idx_t i = 0; i < argc; ++i) args.push_back(self->HandleOf(i));
  jsData* data = record->second.data;
  jsValue result = 0;
  {
    HostCall call(*self);
    result = GuardedQuietly(jsValue{0}, [&] {
      return data->callAsFunction(self->es_, callee, args.empty() ? nullptr : args.data(), static_cast<int>(argc));
    });
  }
  self->Push(result);
  return 1;
}

}  // namespace halyx::engine
