// One page's script world: a Duktape heap with the small page environment
// (console, timers, dialogs, document, localStorage) and the handle table
// behind the C API's jsValue.
//
// Handles. A jsValue carries its kind in the top byte: undefined (0), null,
// booleans and 32-bit integers are immediate; strings, other numbers and
// objects live in a slot of this context. Every new slot is "pooled" and
// released when control returns to the message loop (a posted drain), unless
// it was jsSet on a native-backed object, which then keeps it until that
// object is finalized. Objects in slots are held by the heap's stash, so the
// interpreter collects an object once script and slots have let go of it.
//
// Native-backed objects. jsObject makes a Proxy whose get and set traps call
// the jsData record; jsFunction makes a function that calls it. Each record
// is finalized exactly once: by the interpreter's finalizer, or by the
// destructor for every record still alive. A finalizer that the interpreter
// runs while native code called from script is on the stack waits until the
// last such call has returned, so no native object is freed under its caller.
//
// Hostile pages. Every entry from native code into the interpreter runs in
// a protected call: a script error, a frozen object or a throwing setter
// becomes a console error and a failed call, never the interpreter's fatal
// handler. Script that runs longer than the time limit (the clock stops while
// native code called from it runs) is stopped: every catch point is skipped
// until control is back in native code. The page never sees the interpreter's
// own `Duktape` object (threads, finalizers, the collector).
//
// Thread: GUI thread; owned by its view (the ScriptHost), replaced on every
// page load.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <windows.h>

#include <duktape.h>

#include "engine/platform/local_storage.h"
#include "engine/script/script_host.h"
#include "engine/wke.h"

namespace halyx::engine {

class ScriptContext {
 public:
  // How long one entry into script may run before it is stopped.
  static constexpr unsigned kDefaultTimeLimitMs = 5000;
  // How deep native code may re-enter script that called it.
  static constexpr int kMaxDepth = 32;
  // Timers a page may have pending at once; each holds a host timer, and a
  // page that makes them by the ten thousand would keep the GUI thread
  // serving them.
  static constexpr std::size_t kMaxTimers = 1000;

  ScriptContext(ScriptHost& view, jsExecState es, unsigned time_limit_ms = kDefaultTimeLimitMs);
  ~ScriptContext();
  ScriptContext(const ScriptContext&) = delete;
  ScriptContext& operator=(const ScriptContext&) = delete;

  // Unique over the process, so that timers and drains posted for an earlier
  // page of the same view find out that it is gone.
  unsigned serial() const { return serial_; }
  bool ready() const { return ctx_ != nullptr; }

  static bool IsStringHandle(jsValue value);
  static bool IsNumberHandle(jsValue value);
  static jsValue IntHandle(int n);

  // Runs a page script; errors go to the console.
  void RunScript(const std::string& source, const std::string& filename);
  jsValue Eval(const std::string& source);

  jsValue MakeString(const std::string& text);
  jsValue MakeArrayBuffer(const char* bytes, std::size_t size);
  jsValue MakeNativeObject(jsData* data);
  jsValue MakeNativeFunction(jsData* data);
  jsData* GetData(jsValue object);
  // False (after a console error) when the page's objects refuse the write.
  bool Set(jsValue object, const std::string& name, jsValue value);
  bool SetGlobal(const std::string& name, jsValue value);
  int ToInt(jsValue value);
  const char* ToTempString(jsValue value);
  const wchar_t* ToTempStringW(jsValue value);

  // What an event carries besides its type and target.
  struct EventInit {
    bool bubbles = true;
    bool cancelable = true;
    bool mouse = false, key = false, wheel = false;
    int x = 0, y = 0;
    int button = 0;
    unsigned buttons = 0;
    unsigned key_code = 0, char_code = 0;
    bool repeat = false;
    int wheel_delta = 0;
    bool ctrl = false, shift = false, alt = false;
  };
  // Result bits of Dispatch.
  static constexpr int kListened = 1;
  static constexpr int kDefaultPrevented = 2;

  // Delivers an event to node `target` (0: the document, -1: the window)
  // through capture, target and bubbling; answers kListened and
  // kDefaultPrevented bits.
  int Dispatch(int target, const char* type, const EventInit& init);
  void DocumentLoaded();
  // Runs script timer `id`; false when it no longer exists.
  bool FireTimer(int id, bool repeat);

  // The outcome of one fetch request of the page.
  struct FetchAnswer {
    std::string error;  // not empty: the request failed, nothing else counts
    int status = 0;
    std::string status_text;
    std::string url;
    bool redirected = false;
    std::string content_type;
    std::string body;
  };
  // Settles fetch request `id` of this page's script.
  void Fetched(int id, const FetchAnswer& answer);
  // Ends read request `id` of a FileReader: with the error, or the bytes.
  void FileRead(int id, const std::string& error, const std::string& bytes);
  // Runs the promise reactions waiting in the page's job queue; the engine
  // calls it whenever control returns from script to the engine.
  void RunJobs();

  // The localStorage of this page's origin (its view's when created).
  void set_storage(std::shared_ptr<LocalStorage> storage) { storage_ = std::move(storage); }

  // True while script of this context runs (native code called from it may
  // be on the stack).
  bool busy() const { return depth_ > 0; }
  // Releases the pooled slots (posted from the message loop).
  void Drain();
  // Node wrappers: whether node `index` has one cached (script may hold
  // it), noting a new one, and letting go of those of detached subtrees
  // that script can no longer reach (see DomBindings::Sweep). The sweep
  // runs a collection; it does nothing while script runs.
  bool Wrapped(int index) const {
    return index >= 0 && static_cast<std::size_t>(index) < wrapped_.size() && wrapped_[static_cast<std::size_t>(index)];
  }
  void NoteWrapped(int index);
  void SweepWrappers();

  // Live native-backed objects, for tests of the engine itself.
  std::size_t live_native_objects() const { return records_.size(); }
  // What the interpreter's heap holds now (its objects, strings and string
  // table), and the heap this class's own tables take beside it.
  std::size_t heap_bytes() const { return heapBytes_; }
  std::size_t ApproximateBytes() const;

  // Asked by the interpreter at intervals while script runs; true from the
  // moment the running entry passed its deadline until it has unwound.
  bool TimedOut();

  // The context of an interpreter heap made by this class.
  static ScriptContext* From(duk_context* ctx);
  // Pushes text that native code hands to script. Never refused by the heap
  // limit below: a refusal would unwind through the native's C++ frames.
  static void PushText(duk_context* ctx, std::string_view text);
  // The view that shows the page, through the interface script has of it.
  ScriptHost& view() { return view_; }
  // The user's interface language as a locale name ("en-US", "zh-CN").
  static std::string UserLanguage();

 private:
  struct Slot {
    enum Kind { kString, kNumber, kObject } kind = kString;
    std::string text;
    double number = 0;
    int retained = 0;
    bool pooled = true;
  };
  struct Record {
    jsData* data = nullptr;
    void* heapptr = nullptr;
    void* target = nullptr;  // the proxy's target, for objects
    std::vector<std::uint64_t> retained;
  };
  class Depth;
  class HostCall;

  static duk_ret_t GetTrap(duk_context* ctx);
  static duk_ret_t SetTrap(duk_context* ctx);
  static duk_ret_t CallNative(duk_context* ctx);
  static duk_ret_t FinalizeNative(duk_context* ctx);
  static void Fatal(void* udata, const char* message);
  // The interpreter's heap functions: every block carries its size in front,
  // so that the page's script can be refused a big block past kMaxHeapBytes.
  static void* Allocate(void* udata, duk_size_t size);
  static void* Reallocate(void* udata, void* block, duk_size_t size);
  static void Free(void* udata, void* block);
  bool Refuses(duk_size_t more);
  struct Primitive {
    const char* name;
    duk_c_function fn;
    duk_idx_t nargs;
  };
  // In script_primitives.cpp.
  static const Primitive kPrimitives[];
  static const std::size_t kPrimitiveCount;
  // The argument at `index` as text, whatever its type.
  static std::string StringArg(duk_context* ctx, duk_idx_t index);
  void InstallEnvironment();

  // Handle of the value at `index` (pooled), and the reverse.
  jsValue HandleOf(duk_idx_t index);
  void Push(jsValue value);
  std::uint64_t NewSlot(Slot slot);
  void ReleaseSlot(std::uint64_t id);
  void PushStash(const char* name);
  void FinalizeRecord(std::uint64_t id);
  void ScheduleDrain();
  // Calls hooks[name] with the `nargs` values on the stack top; leaves the
  // result (or undefined after an error, which is reported) on the stack.
  void CallHook(const char* name, duk_idx_t nargs);
  void ReportError(duk_idx_t index);
  // Runs `body` (a callable taking the duk_context and answering how many
  // results it left, at most one) as a protected call. Afterwards one value
  // is on the stack: the result, or undefined after an error, which went to
  // the console. `body` must hold no C++ object that needs destruction across
  // an interpreter call that may throw.
  template <typename Body>
  bool Protected(Body& body);
  void RunDeferredFinalizers();

  ScriptHost& view_;
  jsExecState es_;
  unsigned serial_;
  duk_context* ctx_ = nullptr;
  int depth_ = 0;
  unsigned timeLimitMs_;
  ULONGLONG deadline_ = 0;  // 0 while native code runs or no script does
  bool timedOut_ = false;
  // A builtin such as Array.prototype.join runs to its end between the
  // interpreter's deadline checks, so one call could copy gigabytes for
  // seconds (and on i686 exhaust the address space): while page script
  // runs, a block of at least kBigBlock bytes is refused once the entry is
  // past its deadline, and any block that would take the heap past
  // kMaxHeapBytes is refused, small ones too (a page making objects one by
  // one), which the interpreter throws as "Error: alloc failed". The
  // engine's own pushes outside script and PushText are never refused: a
  // failure outside a protected call would be fatal, and one inside a
  // native call would unwind through its C++ frames.
  static constexpr duk_size_t kMaxHeapBytes = duk_size_t{256} << 20;
  static constexpr duk_size_t kBigBlock = duk_size_t{64} << 10;
  // The hidden property of a native object that names its record.
  static constexpr char kRecordKey[] = DUK_HIDDEN_SYMBOL("wkeRecord");
  duk_size_t heapBytes_ = 0;
  bool unrefused_ = false;  // while PushText pushes
  int hostCalls_ = 0;       // native callbacks from script now on the stack
  std::vector<std::uint64_t> deferredFinalize_;
  bool drainPosted_ = false;
  bool jobsPending_ = false;  // promise reactions wait in the page's queue
  bool runningJobs_ = false;
  bool destroying_ = false;
  std::unordered_map<std::uint64_t, Slot> slots_;
  std::vector<std::uint64_t> pool_;
  std::map<std::uint64_t, Record> records_;
  std::unordered_map<void*, std::uint64_t> recordByHeapptr_;
  std::uint64_t nextRecord_ = 1;
  std::map<int, UINT_PTR> timers_;  // script timer id -> host timer
  bool timersRefused_ = false;      // the console has said so once
  int nextTimer_ = 1;
  std::shared_ptr<LocalStorage> storage_;
  std::vector<char> wrapped_;  // by node index
  std::string temp_;
  std::wstring tempWide_;
};

}  // namespace halyx::engine
