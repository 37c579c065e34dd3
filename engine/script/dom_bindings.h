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
// Thread: GUI thread; called by ScriptContext while it builds a page's
// environment.
#pragma once

#include <duktape.h>

namespace halyx::engine {

class DomBindings {
 public:
  // Source of `function (global, N, report)` returning the hooks
  // {document, dispatch, loaded}.
  static const char* Script();
  // Adds the DOM primitives to the object at `object` on the stack.
  static void AddTo(duk_context* ctx, duk_idx_t object);
};

}  // namespace halyx::engine
