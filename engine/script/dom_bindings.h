// The page's DOM in script: Node, Element and Text wrappers over the
// document's node indices, document, events with capture and bubbling, and
// the native primitives they stand on.
//
// The wrappers are written in script (Script()) over primitives (AddTo())
// that read and change the view's document; every change marks the view for
// a new style, layout and paint on the next frame. Everything a page passes
// in is checked here: indices must name nodes, tree changes that would make
// a cycle or nest too deep are refused with a DOMException-like error.
//
// Nodes are named to script by an id holding their index and generation
// (see HtmlDocument): an id kept past its node's reclamation names nothing,
// and every primitive refuses it. A node's wrapper is cached while script
// may need it again; Sweep() finds, through the interpreter's collector,
// the detached subtrees that script can no longer reach, so that the view
// can reclaim them (a subtree lives on with all its wrappers while script
// reaches any one of them).
//
// Thread: GUI thread; called by ScriptContext while it builds a page's
// environment and when the view reclaims nodes.
#pragma once

#include <duktape.h>

#include <vector>

namespace halyx::engine {

class DomBindings {
 public:
  // Source of `function (global, N, report)` returning the hooks
  // {document, dispatch, loaded}.
  static const char* Script();
  // Adds the DOM primitives to the object at `object` on the stack.
  static void AddTo(duk_context* ctx, duk_idx_t object);
  // Pushes the id of node `index` (-1: none).
  static void PushNode(duk_context* ctx, int index);
  // The node behind the id at `at` on the stack; -1 for none or a stale id.
  static int NodeIndex(duk_context* ctx, duk_idx_t at);

  // What one sweep works with; kept by the caller, since a sweep runs in a
  // protected call that may unwind past C++ frames.
  struct SweepState {
    struct Found {
      int index;
      int root;
      void* heapptr;
      bool reachable;
    };
    std::vector<char>* wrapped = nullptr;  // by index: has a cached wrapper
    std::vector<Found> found;
    std::vector<int> live_roots;
  };
  // Lets go of the wrappers of detached subtrees that script can no longer
  // reach (clearing their `wrapped` marks and listeners) and keeps the
  // others cached. Runs a collection; call in a protected call, never while
  // page script runs.
  static duk_ret_t Sweep(duk_context* ctx, SweepState& state);

  // The finalizer of every node wrapper.
  static duk_ret_t FinalizeWrapper(duk_context* ctx);
};

}  // namespace halyx::engine
