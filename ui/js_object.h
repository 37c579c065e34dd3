// A plain script object carrying named values, made from native code (for
// example the log-archive result that the page receives).
//
//   auto* result = new JsObject(es);            // owned by the engine from here
//   result->SetMember(es, "type", jsString(es, "GetLogFiles"));
//   jsSetGlobal(es, "__halyx_log", result->value());
//
// Ownership: created with new; only its finalize callback deletes it, when
// the engine collects the script object (or destroys the page). Native code
// keeps no pointer to it after handing its value to script.
//
// Thread: GUI thread.
#pragma once

#include <map>
#include <string>

#include "ui/js_data_record.h"
#include "ui/wke_binding.h"

namespace halyx {

class JsObject {
 public:
  explicit JsObject(jsExecState es);
  virtual ~JsObject();
  JsObject(const JsObject&) = delete;
  JsObject& operator=(const JsObject&) = delete;

  jsValue value() const { return value_; }

  // Sets the property on the script object and remembers it for reads.
  void SetMember(jsExecState es, const std::string& name, jsValue value);

 private:
  friend struct JsDataRecord<JsObject>;
  static constexpr const char* kLogName = "halyx::JsObject::GetMember";

  // Property reads: a remembered member, or undefined with a debug line.
  jsValue GetMember(const std::string& name) const;

  JsDataRecord<JsObject> data_;
  jsValue value_;
  std::map<std::string, jsValue> members_;
};

}  // namespace halyx
