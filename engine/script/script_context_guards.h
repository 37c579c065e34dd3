// The two brackets ScriptContext puts around every crossing between native
// code and script: Depth around entries into script (nesting bound, the
// script's deadline), HostCall around calls out of script (the clock stops,
// finalizers wait); and Protected, its error boundary. Shared by the
// context's source files.
//
// Thread: GUI thread, like the context.
#pragma once

#include <windows.h>

#include <string>

#include "engine/script/script_context.h"

namespace halyx::engine {

// Counts native entries into script, so that a drain arriving from a nested
// message loop (a dialog opened by a callback) leaves the handles that the
// frames below it still use. An entry that starts script (the outermost, or
// one made by native code that script called) gets a deadline of its own.
class ScriptContext::Depth {
 public:
  explicit Depth(ScriptContext& context) : context_(context), savedDeadline_(context.deadline_) {
    if (context_.depth_ >= kMaxDepth) {
      // Script calling native code calling script, over and over, would
      // overflow the C stack: this entry is refused.
      refused_ = true;
      context_.view_.AddConsoleLine(
          3, "Script refused: native code re-entered script more than " + std::to_string(kMaxDepth) + " levels deep");
      return;
    }
    if (context_.depth_++ == 0 || context_.deadline_ == 0) {
      context_.deadline_ = ::GetTickCount64() + context_.timeLimitMs_;
    }
  }
  ~Depth() {
    if (refused_) return;
    --context_.depth_;
    context_.deadline_ = savedDeadline_;
    if (context_.timedOut_) {
      // Reported once the script has unwound; the caller's script, if any,
      // goes on with the time it had left.
      context_.timedOut_ = false;
      context_.view_.AddConsoleLine(
          3, "Script stopped: it ran longer than " + std::to_string(context_.timeLimitMs_) + " ms");
    }
    // Control is back in the engine: the promise reactions that script
    // queued run now, before anything else reaches the page.
    if (context_.depth_ == 0 && context_.jobsPending_ && !context_.runningJobs_) context_.RunJobs();
  }
  Depth(const Depth&) = delete;
  Depth& operator=(const Depth&) = delete;
  bool refused() const { return refused_; }

 private:
  ScriptContext& context_;
  ULONGLONG savedDeadline_;
  bool refused_ = false;
};

// Brackets a call from script out to native code (a jsData callback, a
// dialog): the script's clock stops meanwhile, since a dialog may rightly
// wait for the user, and finalizers wait until the last such call returned.
class ScriptContext::HostCall {
 public:
  explicit HostCall(ScriptContext& context) : context_(context), deadline_(context.deadline_) {
    if (deadline_ != 0) {
      const ULONGLONG now = ::GetTickCount64();
      remaining_ = deadline_ > now ? deadline_ - now : 0;
    }
    context_.deadline_ = 0;
    ++context_.hostCalls_;
  }
  ~HostCall() {
    if (deadline_ != 0) context_.deadline_ = ::GetTickCount64() + remaining_;
    if (--context_.hostCalls_ == 0) context_.RunDeferredFinalizers();
  }
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;

 private:
  ScriptContext& context_;
  ULONGLONG deadline_;
  ULONGLONG remaining_ = 0;
};

// Runs `body` inside the interpreter's error boundary: a throw reaches the
// console, and the value left on the stack is then undefined.
template <typename Body>
bool ScriptContext::Protected(Body& body) {
  const duk_int_t rc = duk_safe_call(
      ctx_, [](duk_context* ctx, void* udata) -> duk_ret_t { return (*static_cast<Body*>(udata))(ctx); }, &body, 0, 1);
  if (rc == DUK_EXEC_SUCCESS) return true;
  ReportError(-1);
  duk_pop(ctx_);
  duk_push_undefined(ctx_);
  return false;
}

}  // namespace halyx::engine
