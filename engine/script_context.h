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
// destructor for every record still alive.
//
// Thread: GUI thread; owned by its WebView, replaced on every page load.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <duktape.h>

#include "engine/wke.h"

namespace halyx::engine {

class WebView;

class ScriptContext {
 public:
  ScriptContext(WebView& view, jsExecState es);
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
  void Set(jsValue object, const std::string& name, jsValue value);
  void SetGlobal(const std::string& name, jsValue value);
  int ToInt(jsValue value);
  const char* ToTempString(jsValue value);
  const wchar_t* ToTempStringW(jsValue value);

  // Events the view delivers to the page; true when the page listened.
  bool Click(int element);
  bool Key(const char* type, unsigned key_code, unsigned char_code, bool repeat);
  bool Wheel(int x, int y, int delta);
  void DocumentLoaded();
  // Runs script timer `id`; false when it no longer exists.
  bool FireTimer(int id, bool repeat);

  // True while script of this context runs (native code called from it may
  // be on the stack).
  bool busy() const { return depth_ > 0; }
  // Releases the pooled slots (posted from the message loop).
  void Drain();
  // Live native-backed objects, for tests of the engine itself.
  std::size_t live_native_objects() const { return records_.size(); }

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

  static ScriptContext* From(duk_context* ctx);
  static duk_ret_t GetTrap(duk_context* ctx);
  static duk_ret_t SetTrap(duk_context* ctx);
  static duk_ret_t CallNative(duk_context* ctx);
  static duk_ret_t FinalizeNative(duk_context* ctx);
  static void Fatal(void* udata, const char* message);
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

  WebView& view_;
  jsExecState es_;
  unsigned serial_;
  duk_context* ctx_ = nullptr;
  int depth_ = 0;
  bool drainPosted_ = false;
  bool destroying_ = false;
  std::unordered_map<std::uint64_t, Slot> slots_;
  std::vector<std::uint64_t> pool_;
  std::map<std::uint64_t, Record> records_;
  std::unordered_map<void*, std::uint64_t> recordByHeapptr_;
  std::uint64_t nextRecord_ = 1;
  std::map<int, UINT_PTR> timers_;  // script timer id -> host timer
  int nextTimer_ = 1;
  std::string temp_;
  std::wstring tempWide_;
};

}  // namespace halyx::engine
