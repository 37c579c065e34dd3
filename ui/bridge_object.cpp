#include "ui/bridge_object.h"

#include <spdlog/spdlog.h>

#include "ui/script_member_lookup.h"

namespace halyx {

BridgeObject::BridgeObject(jsExecState es, const char* name) : data_(this, name), value_(0) {
  data_.data.propertyGet = &BridgeObject::OnGet;
  data_.data.propertySet = &BridgeObject::OnSet;
  data_.data.finalize = &BridgeObject::OnFinalize;
  value_ = ::jsObject(es, &data_.data);
}

BridgeObject::~BridgeObject() = default;

void BridgeObject::AddFunctionValue(jsExecState es, const std::string& name, jsValue fn) {
  ::jsSet(es, value_, name.c_str(), fn);
  members_[name] = fn;
}

jsValue BridgeObject::GetFunction(const std::string& name) const {
  return LookUpScriptMember(members_, name, "halyx::BridgeObject::GetFunction");
}

jsValue WKE_CALL_TYPE BridgeObject::OnGet(jsExecState es, jsValue object, const char* name) {
  try {
    jsData* data = ::jsGetData(es, object);
    if (data == nullptr || data->propertyGet != &BridgeObject::OnGet || name == nullptr) return ::jsUndefined();
    return JsDataRecord<BridgeObject>::From(data)->GetFunction(name);
  } catch (const std::exception& e) {
    spdlog::error("halyx::BridgeObject::GetFunction: {}", e.what());
  } catch (...) {
    spdlog::error("halyx::BridgeObject::GetFunction: unknown exception");
  }
  return ::jsUndefined();
}

bool WKE_CALL_TYPE BridgeObject::OnSet(jsExecState, jsValue, const char*, jsValue) { return false; }

void WKE_CALL_TYPE BridgeObject::OnFinalize(jsData* data) {
  try {
    delete JsDataRecord<BridgeObject>::From(data);
  } catch (...) {
    spdlog::error("halyx::BridgeObject: destructor threw");
  }
}

}  // namespace halyx
