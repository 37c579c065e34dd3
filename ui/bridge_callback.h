// The native side of one script function: a callable that receives the
// object it belongs to, the script context of the call, the argument values
// and their count, and answers the script result.
//
// A member function `jsValue T::Fn(jsExecState, jsValue*, int)` converts to
// it directly, bound once when the function is registered.
//
// Thread: GUI thread.
#pragma once

#include <functional>

#include "ui/wke_binding.h"

namespace halyx {

template <class T>
using BridgeCallback = std::function<jsValue(T&, jsExecState, jsValue*, int)>;

}  // namespace halyx
