#include "ui/js_object.h"

#include "ui/script_member_lookup.h"

namespace halyx {

JsObject::JsObject(jsExecState es) : data_(this, nullptr), value_(0) {
  data_.data.propertyGet = &JsDataRecord<JsObject>::OnGet<&JsObject::GetMember>;
  data_.data.propertySet = &JsDataRecord<JsObject>::DeclineSet;
  data_.data.finalize = &JsDataRecord<JsObject>::DeleteOwner;
  value_ = ::jsObject(es, &data_.data);
}

JsObject::~JsObject() = default;

void JsObject::SetMember(jsExecState es, const std::string& name, jsValue value) {
  ::jsSet(es, value_, name.c_str(), value);
  members_[name] = value;
}

jsValue JsObject::GetMember(const std::string& name) const { return LookUpScriptMember(members_, name, kLogName); }

}  // namespace halyx
