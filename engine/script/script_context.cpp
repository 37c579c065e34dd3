#include "engine/script/script_context.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/script/dom_bindings.h"
#include "engine/script/script_context_guards.h"
#include "engine/script/embedded_scripts.h"
#include "engine/platform/local_storage.h"
#include "base/guard.h"
#include "base/heap_bytes.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

constexpr int kTagShift = 56;
constexpr std::uint64_t kPayloadMask = (std::uint64_t{1} << kTagShift) - 1;
enum Tag : std::uint64_t { kUndefined = 0, kNull = 1, kBool = 2, kInt = 3, kString = 4, kNumber = 5, kObject = 6 };

jsValue MakeHandle(Tag tag, std::uint64_t payload) {
  return static_cast<jsValue>((static_cast<std::uint64_t>(tag) << kTagShift) | (payload & kPayloadMask));
}
Tag TagOf(jsValue value) { return static_cast<Tag>(static_cast<std::uint64_t>(value) >> kTagShift); }
std::uint64_t PayloadOf(jsValue value) { return static_cast<std::uint64_t>(value) & kPayloadMask; }

// Slot ids are unique over the process, so a handle from an earlier page
// never resolves to a value of a later one.
std::uint64_t g_next_slot = 1;
unsigned g_next_serial = 1;

}  // namespace

std::string ScriptContext::StringArg(duk_context* ctx, duk_idx_t index) {
  duk_size_t size = 0;
  const char* text = duk_safe_to_lstring(ctx, index, &size);
  return std::string(text, size);
}

bool ScriptContext::TimedOut() {
  if (!timedOut_ && deadline_ != 0 && ::GetTickCount64() > deadline_) timedOut_ = true;
  return timedOut_;
}

bool ScriptContext::IsStringHandle(jsValue value) { return TagOf(value) == kString; }
bool ScriptContext::IsNumberHandle(jsValue value) { return TagOf(value) == kInt || TagOf(value) == kNumber; }
jsValue ScriptContext::IntHandle(int n) { return MakeHandle(kInt, static_cast<std::uint32_t>(n)); }

ScriptContext* ScriptContext::From(duk_context* ctx) {
  duk_memory_functions functions{};
  duk_get_memory_functions(ctx, &functions);
  return static_cast<ScriptContext*>(functions.udata);
}

void ScriptContext::Fatal(void*, const char* message) {
  // The interpreter cannot go on after a fatal error; say why before ending.
  ::OutputDebugStringA("wke: fatal script engine error: ");
  ::OutputDebugStringA(message != nullptr ? message : "(none)");
  std::abort();
}

namespace {
// Room in front of each interpreter block for its size, keeping the block
// aligned as malloc's are.
constexpr std::size_t kBlockHeader = alignof(std::max_align_t);

duk_size_t SizeOf(void* block) {
  duk_size_t size = 0;
  std::memcpy(&size, static_cast<unsigned char*>(block) - kBlockHeader, sizeof(size));
  return size;
}
}  // namespace

void ScriptContext::PushText(duk_context* ctx, std::string_view text) {
  ScriptContext* self = From(ctx);
  self->unrefused_ = true;
  duk_push_lstring(ctx, text.data(), text.size());
  self->unrefused_ = false;
}

bool ScriptContext::Refuses(duk_size_t more) {
  if (deadline_ == 0 || unrefused_) return false;
  return more > kMaxHeapBytes - std::min(heapBytes_, kMaxHeapBytes) || (more >= kBigBlock && TimedOut());
}

void* ScriptContext::Allocate(void* udata, duk_size_t size) {
  auto* self = static_cast<ScriptContext*>(udata);
  if (self->Refuses(size) || size > SIZE_MAX - kBlockHeader) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof(size));
  self->heapBytes_ += size;
  return block + kBlockHeader;
}

void* ScriptContext::Reallocate(void* udata, void* block, duk_size_t size) {
  if (block == nullptr) return Allocate(udata, size);
  auto* self = static_cast<ScriptContext*>(udata);
  const duk_size_t old = SizeOf(block);
  if (size == 0) {
    Free(udata, block);
    return nullptr;
  }
  if ((size > old && self->Refuses(size - old)) || size > SIZE_MAX - kBlockHeader) return nullptr;
  auto* moved =
      static_cast<unsigned char*>(std::realloc(static_cast<unsigned char*>(block) - kBlockHeader, size + kBlockHeader));
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, &size, sizeof(size));
  self->heapBytes_ = self->heapBytes_ - old + size;
  return moved + kBlockHeader;
}

void ScriptContext::Free(void* udata, void* block) {
  if (block == nullptr) return;
  static_cast<ScriptContext*>(udata)->heapBytes_ -= SizeOf(block);
  std::free(static_cast<unsigned char*>(block) - kBlockHeader);
}

ScriptContext::ScriptContext(ScriptHost& view, jsExecState es, unsigned time_limit_ms)
    : view_(view), es_(es), serial_(g_next_serial++), timeLimitMs_(time_limit_ms), storage_(view.storage()) {
  ctx_ = duk_create_heap(&ScriptContext::Allocate, &ScriptContext::Reallocate, &ScriptContext::Free, this,
                         &ScriptContext::Fatal);
  if (ctx_ == nullptr) return;
  duk_push_global_stash(ctx_);
  duk_push_object(ctx_);
  duk_put_prop_string(ctx_, -2, "slots");
  duk_push_object(ctx_);
  duk_put_prop_string(ctx_, -2, "timers");
  duk_pop(ctx_);
  InstallEnvironment();
}

std::size_t ScriptContext::ApproximateBytes() const {
  // A map node: the tree's colour and three links, then the pair.
  constexpr std::size_t kRecordNode = 4 * sizeof(void*) + sizeof(std::pair<const std::uint64_t, Record>);
  std::size_t bytes = HeapBytesOf(slots_) + HeapBytesOf(pool_) + HeapBytesOf(recordByHeapptr_) +
                      HeapBytesOf(deferredFinalize_) + HeapBytesOf(wrapped_) + HeapBytesOf(temp_) +
                      HeapBytesOf(tempWide_) + records_.size() * kRecordNode;
  for (const auto& slot : slots_) bytes += HeapBytesOf(slot.second.text);
  for (const auto& record : records_) bytes += HeapBytesOf(record.second.retained);
  return bytes;
}

ScriptContext::~ScriptContext() {
  if (ctx_ == nullptr) return;
  for (auto& timer : timers_) view_.KillScriptTimer(timer.second);
  // Every native object still alive is finalized now, once; the
  // interpreter's own finalizers then find no record and do nothing.
  while (!records_.empty()) FinalizeRecord(records_.begin()->first);
  destroying_ = true;
  duk_destroy_heap(ctx_);
}

namespace {

// Pushes the function that the engine's own `source` (one function
// expression) evaluates to. Compiling it was most of a page's start, so it
// is compiled once per process and later heaps load its bytecode from
// `bytecode`. False with the error pushed instead.
bool PushEngineFunction(duk_context* ctx, const char* source, std::string& bytecode) {
  if (!bytecode.empty()) {
    void* buffer = duk_push_fixed_buffer(ctx, bytecode.size());
    std::memcpy(buffer, bytecode.data(), bytecode.size());
    auto load = [](duk_context* c, void*) -> duk_ret_t {
      duk_load_function(c);
      return 1;
    };
    return duk_safe_call(ctx, load, nullptr, 1, 1) == DUK_EXEC_SUCCESS;
  }
  if (duk_pcompile_string(ctx, DUK_COMPILE_EVAL, source) != 0 || duk_pcall(ctx, 0) != 0) return false;
  duk_dup_top(ctx);
  auto dump = [](duk_context* c, void*) -> duk_ret_t {
    duk_dump_function(c);
    return 1;
  };
  if (duk_safe_call(ctx, dump, nullptr, 1, 1) == DUK_EXEC_SUCCESS) {
    duk_size_t size = 0;
    const void* dumped = duk_get_buffer_data(ctx, -1, &size);
    if (dumped != nullptr) bytecode.assign(static_cast<const char*>(dumped), size);
  }
  duk_pop(ctx);
  return true;
}

}  // namespace

void ScriptContext::InstallEnvironment() {
  // The interpreter's own object reaches coroutines (whose native calls
  // would read the wrong stack), finalizers and the collector: not a page's
  // business. The engine itself never needs it from script.
  duk_push_global_object(ctx_);
  duk_del_prop_string(ctx_, -1, "Duktape");
  duk_pop(ctx_);

  // The environment function; called with (global, N, makeDom), makeDom
  // being the DOM's own script.
  static std::string prelude_code;
  if (!PushEngineFunction(ctx_, kPreludeScript, prelude_code)) {
    ReportError(-1);
    duk_pop(ctx_);
    return;
  }
  duk_push_global_object(ctx_);
  const duk_idx_t primitives = duk_push_object(ctx_);
  for (std::size_t k = 0; k < kPrimitiveCount; ++k) {
    const Primitive& primitive = kPrimitives[k];
    duk_push_c_function(ctx_, primitive.fn, primitive.nargs);
    duk_put_prop_string(ctx_, primitives, primitive.name);
  }
  DomBindings::AddTo(ctx_, primitives);
  static std::string dom_code;
  if (!PushEngineFunction(ctx_, DomBindings::Script(), dom_code)) {
    ReportError(-1);
    duk_pop_n(ctx_, 4);
    return;
  }
  if (duk_pcall(ctx_, 3) != 0) {
    ReportError(-1);
    duk_pop(ctx_);
    return;
  }
  duk_push_global_stash(ctx_);
  duk_swap_top(ctx_, -2);
  duk_put_prop_string(ctx_, -2, "hooks");
  duk_pop(ctx_);
}

void ScriptContext::ReportError(duk_idx_t index) { view_.AddConsoleLine(3, "Uncaught " + StringArg(ctx_, index)); }

void ScriptContext::RunScript(const std::string& source, const std::string& filename) {
  if (ctx_ == nullptr) return;
  Depth depth(*this);
  if (depth.refused()) return;
  // Outside a protected call: a push that may not be refused.
  PushText(ctx_, source);
  PushText(ctx_, filename);
  if (duk_pcompile(ctx_, 0) != 0 || duk_pcall(ctx_, 0) != 0) ReportError(-1);
  duk_pop(ctx_);
}

jsValue ScriptContext::Eval(const std::string& source) {
  if (ctx_ == nullptr) return 0;
  Depth depth(*this);
  if (depth.refused()) return 0;
  PushText(ctx_, source);
  duk_push_string(ctx_, "eval");
  jsValue result = 0;
  if (duk_pcompile(ctx_, DUK_COMPILE_EVAL) != 0 || duk_pcall(ctx_, 0) != 0) {
    ReportError(-1);
  } else {
    result = HandleOf(-1);
  }
  duk_pop(ctx_);
  return result;
}

void ScriptContext::PushStash(const char* name) {
  duk_push_global_stash(ctx_);
  duk_get_prop_string(ctx_, -1, name);
  duk_remove(ctx_, -2);
}

std::uint64_t ScriptContext::NewSlot(Slot slot) {
  const std::uint64_t id = g_next_slot++;
  slots_.emplace(id, std::move(slot));
  pool_.push_back(id);
  ScheduleDrain();
  return id;
}

jsValue ScriptContext::HandleOf(duk_idx_t index) {
  index = duk_normalize_index(ctx_, index);
  switch (duk_get_type(ctx_, index)) {
    case DUK_TYPE_NONE:
    case DUK_TYPE_UNDEFINED:
      return 0;
    case DUK_TYPE_NULL:
      return MakeHandle(kNull, 0);
    case DUK_TYPE_BOOLEAN:
      return MakeHandle(kBool, duk_get_boolean(ctx_, index) ? 1 : 0);
    case DUK_TYPE_NUMBER: {
      const double number = duk_get_number(ctx_, index);
      if (std::floor(number) == number && number >= -2147483648.0 && number <= 2147483647.0 &&
          !(number == 0 && std::signbit(number))) {
        return IntHandle(static_cast<int>(number));
      }
      Slot slot;
      slot.kind = Slot::kNumber;
      slot.number = number;
      return MakeHandle(kNumber, NewSlot(std::move(slot)));
    }
    case DUK_TYPE_STRING: {
      duk_size_t size = 0;
      const char* text = duk_get_lstring(ctx_, index, &size);
      Slot slot;
      slot.text.assign(text, size);
      return MakeHandle(kString, NewSlot(std::move(slot)));
    }
    default: {
      Slot slot;
      slot.kind = Slot::kObject;
      const std::uint64_t id = NewSlot(std::move(slot));
      PushStash("slots");
      duk_dup(ctx_, index);
      duk_put_prop_string(ctx_, -2, std::to_string(id).c_str());
      duk_pop(ctx_);
      return MakeHandle(kObject, id);
    }
  }
}

void ScriptContext::Push(jsValue value) {
  const auto slot = slots_.find(PayloadOf(value));
  switch (TagOf(value)) {
    case kNull:
      duk_push_null(ctx_);
      return;
    case kBool:
      duk_push_boolean(ctx_, PayloadOf(value) != 0);
      return;
    case kInt:
      duk_push_int(ctx_, static_cast<std::int32_t>(static_cast<std::uint32_t>(PayloadOf(value))));
      return;
    case kString:
      if (slot == slots_.end()) break;
      PushText(ctx_, slot->second.text);
      return;
    case kNumber:
      if (slot == slots_.end()) break;
      duk_push_number(ctx_, slot->second.number);
      return;
    case kObject:
      if (slot == slots_.end()) break;
      PushStash("slots");
      duk_get_prop_string(ctx_, -1, std::to_string(slot->first).c_str());
      duk_remove(ctx_, -2);
      return;
    default:
      break;
  }
  // Undefined, or a handle whose slot has been released.
  duk_push_undefined(ctx_);
}

void ScriptContext::ReleaseSlot(std::uint64_t id) {
  const auto slot = slots_.find(id);
  if (slot == slots_.end() || slot->second.retained > 0 || slot->second.pooled) return;
  if (slot->second.kind == Slot::kObject && ctx_ != nullptr && !destroying_) {
    PushStash("slots");
    duk_del_prop_string(ctx_, -1, std::to_string(id).c_str());
    duk_pop(ctx_);
  }
  slots_.erase(slot);
}

void ScriptContext::ScheduleDrain() {
  if (drainPosted_) return;
  const unsigned serial = serial_;
  drainPosted_ = view_.PostScriptTask([serial](ScriptContext& current) {
    if (current.serial() == serial) current.Drain();
  });
}

void ScriptContext::Drain() {
  drainPosted_ = false;
  if (depth_ > 0) {
    // Still inside script (a nested message loop): try again later.
    ScheduleDrain();
    return;
  }
  std::vector<std::uint64_t> pool;
  pool.swap(pool_);
  for (std::uint64_t id : pool) {
    const auto slot = slots_.find(id);
    if (slot == slots_.end()) continue;
    slot->second.pooled = false;
    ReleaseSlot(id);
  }
  // Reference counting frees what was held only by the slots; a collection
  // also reclaims cycles and runs the finalizers that were queued.
  if (!pool.empty() && ctx_ != nullptr) duk_gc(ctx_, 0);
}

jsValue ScriptContext::MakeString(const std::string& text) {
  Slot slot;
  slot.text = text;
  return MakeHandle(kString, NewSlot(std::move(slot)));
}

jsValue ScriptContext::MakeArrayBuffer(const char* bytes, std::size_t size) {
  if (ctx_ == nullptr) return 0;
  // A buffer too large for the heap is a failed call, not a fatal error.
  auto make = [&](duk_context* ctx) -> duk_ret_t {
    void* data = duk_push_fixed_buffer(ctx, size);
    if (size > 0 && bytes != nullptr) std::memcpy(data, bytes, size);
    duk_push_buffer_object(ctx, -1, 0, size, DUK_BUFOBJ_ARRAYBUFFER);
    return 1;
  };
  const jsValue value = Protected(make) ? HandleOf(-1) : 0;
  duk_pop(ctx_);
  return value;
}

jsValue ScriptContext::MakeNativeObject(jsData* data) {
  if (ctx_ == nullptr || data == nullptr) return 0;
  const std::uint64_t id = nextRecord_++;
  duk_push_object(ctx_);  // target
  duk_push_number(ctx_, static_cast<double>(id));
  duk_put_prop_string(ctx_, -2, kRecordKey);
  duk_push_c_function(ctx_, &ScriptContext::FinalizeNative, 2);
  duk_set_finalizer(ctx_, -2);
  duk_push_object(ctx_);  // handler
  duk_push_c_function(ctx_, &ScriptContext::GetTrap, 3);
  duk_put_prop_string(ctx_, -2, "get");
  duk_push_c_function(ctx_, &ScriptContext::SetTrap, 4);
  duk_put_prop_string(ctx_, -2, "set");
  void* target = duk_get_heapptr(ctx_, -2);
  duk_push_proxy(ctx_, 0);
  Record& record = records_[id];
  record.data = data;
  record.target = target;
  record.heapptr = duk_get_heapptr(ctx_, -1);
  recordByHeapptr_[record.heapptr] = id;
  const jsValue value = HandleOf(-1);
  duk_pop(ctx_);
  return value;
}

jsValue ScriptContext::MakeNativeFunction(jsData* data) {
  if (ctx_ == nullptr || data == nullptr) return 0;
  const std::uint64_t id = nextRecord_++;
  duk_push_c_function(ctx_, &ScriptContext::CallNative, DUK_VARARGS);
  duk_push_number(ctx_, static_cast<double>(id));
  duk_put_prop_string(ctx_, -2, kRecordKey);
  duk_push_c_function(ctx_, &ScriptContext::FinalizeNative, 2);
  duk_set_finalizer(ctx_, -2);
  Record& record = records_[id];
  record.data = data;
  record.heapptr = duk_get_heapptr(ctx_, -1);
  recordByHeapptr_[record.heapptr] = id;
  const jsValue value = HandleOf(-1);
  duk_pop(ctx_);
  return value;
}

jsData* ScriptContext::GetData(jsValue object) {
  if (ctx_ == nullptr || TagOf(object) != kObject) return nullptr;
  Push(object);
  void* heapptr = duk_get_heapptr(ctx_, -1);
  duk_pop(ctx_);
  const auto found = recordByHeapptr_.find(heapptr);
  if (heapptr == nullptr || found == recordByHeapptr_.end()) return nullptr;
  return records_.at(found->second).data;
}

bool ScriptContext::Set(jsValue object, const std::string& name, jsValue value) {
  if (ctx_ == nullptr || TagOf(object) != kObject) return false;
  Push(object);
  void* heapptr = duk_get_heapptr(ctx_, -1);
  duk_pop(ctx_);
  if (heapptr == nullptr) return false;
  const auto record = recordByHeapptr_.find(heapptr);
  const std::uint64_t record_id = record != recordByHeapptr_.end() ? record->second : 0;
  // A native-backed object keeps its members on the proxy's target, where
  // the traps do not intercept the write; they are defined there as its own,
  // so that a setter the page put on Object.prototype neither runs nor sees
  // the target. Other objects take an ordinary write, setters and all.
  void* target = record_id != 0 ? records_.at(record_id).target : nullptr;
  Depth depth(*this);
  if (depth.refused()) return false;
  auto write = [&](duk_context* ctx) -> duk_ret_t {
    if (target != nullptr) {
      duk_push_heapptr(ctx, target);
      PushText(ctx, name);
      Push(value);
      duk_def_prop(ctx, -3,
                   DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE | DUK_DEFPROP_SET_ENUMERABLE |
                       DUK_DEFPROP_SET_CONFIGURABLE);
    } else {
      duk_push_heapptr(ctx, heapptr);
      Push(value);
      duk_put_prop_lstring(ctx, -2, name.data(), name.size());
    }
    return 0;
  };
  const bool ok = Protected(write);
  duk_pop(ctx_);
  // The native side hands this handle back from its get callback later, so
  // it lives as long as the object.
  if (ok && record_id != 0 && records_.count(record_id) != 0) {
    const auto slot = slots_.find(PayloadOf(value));
    if (TagOf(value) >= kString && slot != slots_.end()) {
      ++slot->second.retained;
      records_.at(record_id).retained.push_back(slot->first);
    }
  }
  return ok;
}

bool ScriptContext::SetGlobal(const std::string& name, jsValue value) {
  if (ctx_ == nullptr) return false;
  Depth depth(*this);
  if (depth.refused()) return false;
  auto write = [&](duk_context* ctx) -> duk_ret_t {
    duk_push_global_object(ctx);
    Push(value);
    duk_put_prop_lstring(ctx, -2, name.data(), name.size());
    return 0;
  };
  const bool ok = Protected(write);
  duk_pop(ctx_);
  return ok;
}

int ScriptContext::ToInt(jsValue value) {
  switch (TagOf(value)) {
    case kInt:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(PayloadOf(value)));
    case kBool:
      return static_cast<int>(PayloadOf(value));
    case kNull:
    case kUndefined:
    case kObject:
      return 0;
    default:
      break;
  }
  if (ctx_ == nullptr) return 0;
  Depth depth(*this);
  if (depth.refused()) return 0;
  auto convert = [&](duk_context* ctx) -> duk_ret_t {
    Push(value);
    duk_to_int32(ctx, -1);
    return 1;
  };
  Protected(convert);
  const int n = static_cast<int>(duk_get_int_default(ctx_, -1, 0));
  duk_pop(ctx_);
  return n;
}

const char* ScriptContext::ToTempString(jsValue value) {
  const auto slot = slots_.find(PayloadOf(value));
  if (TagOf(value) == kString && slot != slots_.end()) {
    temp_ = slot->second.text;
  } else if (ctx_ != nullptr) {
    // An object's toString is page script.
    Depth depth(*this);
    if (depth.refused()) {
      temp_.clear();
      return temp_.c_str();
    }
    Push(value);
    temp_ = StringArg(ctx_, -1);
    duk_pop(ctx_);
  } else {
    temp_.clear();
  }
  return temp_.c_str();
}

const wchar_t* ScriptContext::ToTempStringW(jsValue value) {
  tempWide_ = Utf8ToWide(ToTempString(value));
  return tempWide_.c_str();
}

void ScriptContext::CallHook(const char* name, duk_idx_t nargs) {
  PushStash("hooks");
  duk_get_prop_string(ctx_, -1, name);
  duk_remove(ctx_, -2);
  duk_insert(ctx_, -(nargs + 1));
  if (duk_pcall(ctx_, nargs) != 0) {
    ReportError(-1);
    duk_pop(ctx_);
    duk_push_undefined(ctx_);
  }
}

int ScriptContext::Dispatch(int target, const char* type, const EventInit& init) {
  if (ctx_ == nullptr) return 0;
  Depth depth(*this);
  if (depth.refused()) return 0;
  DomBindings::PushNode(ctx_, target);
  duk_push_string(ctx_, type);
  const duk_idx_t object = duk_push_object(ctx_);
  auto put_number = [&](const char* name, double value) {
    duk_push_number(ctx_, value);
    duk_put_prop_string(ctx_, object, name);
  };
  auto put_bool = [&](const char* name, bool value) {
    duk_push_boolean(ctx_, value);
    duk_put_prop_string(ctx_, object, name);
  };
  put_bool("bubbles", init.bubbles);
  put_bool("cancelable", init.cancelable);
  if (init.mouse || init.wheel) {
    put_number("clientX", init.x);
    put_number("clientY", init.y);
    put_number("pageX", init.x);
    put_number("pageY", init.y);
    put_number("button", init.button);
    put_number("buttons", init.buttons);
  }
  if (init.wheel) {
    put_number("wheelDelta", init.wheel_delta);
    put_number("deltaY", -init.wheel_delta);
    put_number("deltaMode", 0);
  }
  if (init.key) {
    put_number("keyCode", init.key_code);
    put_number("charCode", init.char_code);
    put_number("which", init.key_code != 0 ? init.key_code : init.char_code);
    put_bool("repeat", init.repeat);
    if (init.char_code != 0) {
      const wchar_t text[2] = {static_cast<wchar_t>(init.char_code), 0};
      const std::string key = WideToUtf8(text);
      PushText(ctx_, key);
      duk_put_prop_string(ctx_, object, "key");
    }
  }
  if (init.mouse || init.key || init.wheel) {
    put_bool("ctrlKey", init.ctrl);
    put_bool("shiftKey", init.shift);
    put_bool("altKey", init.alt);
  }
  CallHook("dispatch", 3);
  const int result = duk_to_int(ctx_, -1);
  duk_pop(ctx_);
  return result;
}

void ScriptContext::DocumentLoaded() {
  if (ctx_ == nullptr) return;
  Depth depth(*this);
  if (depth.refused()) return;
  CallHook("loaded", 0);
  duk_pop(ctx_);
}

bool ScriptContext::FireTimer(int id, bool repeat) {
  if (ctx_ == nullptr || timers_.count(id) == 0) return false;
  Depth depth(*this);
  if (depth.refused()) return false;
  PushStash("timers");
  duk_get_prop_index(ctx_, -1, static_cast<duk_uarridx_t>(id));
  if (!repeat) {
    // A one-shot timer is gone before its function runs, so clearTimeout of
    // its own id from inside does no harm.
    duk_del_prop_index(ctx_, -2, static_cast<duk_uarridx_t>(id));
    timers_.erase(id);
  }
  duk_remove(ctx_, -2);
  // A timer set inside a click handler, or one that fires in a dialog's
  // message loop opened from one, acts for no one.
  const bool activation = view_.TakeActivation();
  if (duk_is_function(ctx_, -1)) {
    if (duk_pcall(ctx_, 0) != 0) ReportError(-1);
  }
  view_.RestoreActivation(activation);
  duk_pop(ctx_);
  if (repeat && timedOut_) {
    // An interval that had to be stopped would only freeze the loop again.
    PushStash("timers");
    duk_del_prop_index(ctx_, -1, static_cast<duk_uarridx_t>(id));
    duk_pop(ctx_);
    timers_.erase(id);
  }
  return repeat && timers_.count(id) != 0;
}

void ScriptContext::RunJobs() {
  if (ctx_ == nullptr || depth_ > 0 || runningJobs_) return;
  jobsPending_ = false;
  runningJobs_ = true;
  {
    Depth depth(*this);
    if (!depth.refused()) {
      CallHook("jobs", 0);
      duk_pop(ctx_);
    }
  }
  runningJobs_ = false;
}

namespace {

// Pushes a copy of `bytes` as an ArrayBuffer.
void PushArrayBuffer(duk_context* ctx, const std::string& bytes) {
  void* data = duk_push_fixed_buffer(ctx, bytes.size());
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  duk_push_buffer_object(ctx, -1, 0, bytes.size(), DUK_BUFOBJ_ARRAYBUFFER);
  duk_remove(ctx, -2);
}

}  // namespace

void ScriptContext::Fetched(int id, const FetchAnswer& answer) {
  if (ctx_ == nullptr) return;
  Depth depth(*this);
  if (depth.refused()) return;
  duk_push_int(ctx_, id);
  // The body may be megabytes: made in a protected call, so a heap that
  // cannot hold it fails this request rather than the interpreter.
  auto build = [&answer](duk_context* ctx) -> duk_ret_t {
    const duk_idx_t object = duk_push_object(ctx);
    PushText(ctx, answer.error);
    duk_put_prop_string(ctx, object, "error");
    duk_push_int(ctx, answer.status);
    duk_put_prop_string(ctx, object, "status");
    PushText(ctx, answer.status_text);
    duk_put_prop_string(ctx, object, "statusText");
    PushText(ctx, answer.url);
    duk_put_prop_string(ctx, object, "url");
    duk_push_boolean(ctx, answer.redirected);
    duk_put_prop_string(ctx, object, "redirected");
    PushText(ctx, answer.content_type);
    duk_put_prop_string(ctx, object, "contentType");
    PushArrayBuffer(ctx, answer.body);
    duk_put_prop_string(ctx, object, "body");
    return 1;
  };
  if (!Protected(build)) {
    duk_pop(ctx_);
    duk_push_object(ctx_);
    PushText(ctx_, "the answer does not fit in the page's memory");
    duk_put_prop_string(ctx_, -2, "error");
  }
  CallHook("fetched", 2);
  duk_pop(ctx_);
}

void ScriptContext::FileRead(int id, const std::string& error, const std::string& bytes) {
  if (ctx_ == nullptr) return;
  Depth depth(*this);
  if (depth.refused()) return;
  duk_push_int(ctx_, id);
  PushText(ctx_, error);
  auto build = [&bytes](duk_context* ctx) -> duk_ret_t {
    PushArrayBuffer(ctx, bytes);
    return 1;
  };
  if (!Protected(build)) {
    duk_pop_2(ctx_);
    PushText(ctx_, "the file does not fit in the page's memory");
    duk_push_null(ctx_);
  }
  CallHook("fileRead", 3);
  duk_pop(ctx_);
}

std::string ScriptContext::UserLanguage() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  const LCID locale = MAKELCID(::GetUserDefaultUILanguage(), SORT_DEFAULT);
  if (::LCIDToLocaleName(locale, name, LOCALE_NAME_MAX_LENGTH, 0) <= 0) return "en-US";
  return WideToUtf8(name);
}

}  // namespace halyx::engine

// The interpreter's timeout check (see cmake/deps/duktape), with the heap's
// user data: the context that created the heap.
extern "C" int wke_script_timed_out(void* udata) {
  return udata != nullptr && static_cast<halyx::engine::ScriptContext*>(udata)->TimedOut() ? 1 : 0;
}
