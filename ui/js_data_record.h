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
#include <exception>
#include <string>
#include <type_traits>

#include <spdlog/spdlog.h>

#include "ui/wke_binding.h"
#include "base/guard.h"

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

  // Callbacks for the record. OnGet answers `(owner->*Get)(name)` for
  // objects whose record has this very callback (so a foreign native object
  // as receiver is never mistaken for an Owner), undefined otherwise; its
  // errors are logged under `Owner::kLogName`, which also names the
  // wrapper in its own debug lines.
  template <jsValue (Owner::*Get)(const std::string&) const>
  static jsValue WKE_CALL_TYPE OnGet(jsExecState es, jsValue object, const char* name) {
    return GuardedWith(::jsUndefined(), ReportFailure, [&]() -> jsValue {
      jsData* record = ::jsGetData(es, object);
      if (record == nullptr || record->propertyGet != &OnGet<Get> || name == nullptr) return ::jsUndefined();
      return (From(record)->*Get)(name);
    });
  }
  // Logs an exception that a callback stopped: "<kLogName>: <what>".
  static void ReportFailure(const char* what) {
    spdlog::error("{}: {}", Owner::kLogName, what ? what : "unknown exception");
  }
  // Writes from script are left to the engine, which keeps them as ordinary
  // properties.
  static bool WKE_CALL_TYPE DeclineSet(jsExecState, jsValue, const char*, jsValue) { return false; }
  // The engine collected the object: the wrapper goes with it.
  static void WKE_CALL_TYPE DeleteOwner(jsData* record) {
    GuardedWith(
        false, [](const char*) { spdlog::error("{}: destructor threw", Owner::kLogName); },
        [&] { delete From(record); });
  }
};

}  // namespace halyx
