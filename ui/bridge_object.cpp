#include "ui/bridge_object.h"

#include "ui/script_member_lookup.h"

namespace halyx {

BridgeObject::BridgeObject(jsExecState es, const char* name) : data_(this, name), value_(0) {
  data_.data.propertyGet = &JsDataRecord<BridgeObject>::OnGet<&BridgeObject::GetFunction>;
  data_.data.propertySet = &JsDataRecord<BridgeObject>::DeclineSet;
  data_.data.finalize = &JsDataRecord<BridgeObject>::DeleteOwner;
  value_ = ::jsObject(es, &data_.data);
}

BridgeObject::~BridgeObject() = default;

void BridgeObject::AddFunctionValue(jsExecState es, const std::string& name, jsValue fn) {
  ::jsSet(es, value_, name.c_str(), fn);
  members_[name] = fn;
}

jsValue BridgeObject::GetFunction(const std::string& name) const {
  return LookUpScriptMember(members_, name, kLogName);
}

}  // namespace halyx
