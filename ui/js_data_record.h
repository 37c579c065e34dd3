// The jsData record that a script wrapper embeds, and the way back from the
// record the engine hands to a callback to the wrapper that owns it.
//
// The record is the first member of a standard-layout struct, so the jsData
// pointer the engine keeps converts back to the struct, whose `owner` is the
// wrapper. The engine keeps the pointer, never a copy: the wrapper must not
// move while its script object lives (wrappers are heap objects that only
// their finalize callback deletes).
//
// Thread: GUI thread.
#pragma once

#include <cstring>
#include <type_traits>

#include "ui/wke_binding.h"

namespace halyx {

template <class Owner>
struct JsDataRecord {
  jsData data;
  Owner* owner;

  // `typeName` is truncated to 99 characters; the record is zeroed first.
  JsDataRecord(Owner* wrapper, const char* typeName) : data(), owner(wrapper) {
    if (typeName != nullptr) std::strncpy(data.typeName, typeName, sizeof(data.typeName) - 1);
  }

  static Owner* From(jsData* record) {
    static_assert(std::is_standard_layout<JsDataRecord>::value, "the record must come first");
    return record != nullptr ? reinterpret_cast<JsDataRecord*>(record)->owner : nullptr;
  }
  // The wrapper behind a script object, or null for an object that is not
  // one of ours.
  static Owner* From(jsExecState es, jsValue object) { return From(::jsGetData(es, object)); }
};

}  // namespace halyx
