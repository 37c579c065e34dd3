#include "ui/js_object.h"

#include <spdlog/spdlog.h>

#include "ui/script_member_lookup.h"

namespace halyx {

JsObject::JsObject(jsExecState es) : data_(this, nullptr), value_(0) {
  data_.data.propertyGet = &JsObject::OnGet;
  data_.data.propertySet = &JsObject::OnSet;
  data_.data.finalize = &JsObject::OnFinalize;
  value_ = ::jsObject(es, &data_.data);
}

JsObject::~JsObject() = default;

void JsObject::SetMember(jsExecState es, const std::string& name, jsValue value) {
  ::jsSet(es, value_, name.c_str(), value);
  members_[name] = value;
}

jsValue JsObject::GetMember(const std::string& name) const {
  return LookUpScriptMember(members_, name, "halyx::JsObject::GetMember");
}

jsValue WKE_CALL_TYPE JsObject::OnGet(jsExecState es, jsValue object, const char* name) {
  try {
    jsData* data = ::jsGetData(es, object);
    if (data == nullptr || data->propertyGet != &JsObject::OnGet || name == nullptr) return ::jsUndefined();
    return JsDataRecord<JsObject>::From(data)->GetMember(name);
  } catch (const std::exception& e) {
    spdlog::error("halyx::JsObject::GetMember: {}", e.what());
  } catch (...) {
    spdlog::error("halyx::JsObject::GetMember: unknown exception");
  }
  return ::jsUndefined();
}

bool WKE_CALL_TYPE JsObject::OnSet(jsExecState, jsValue, const char*, jsValue) { return false; }

void WKE_CALL_TYPE JsObject::OnFinalize(jsData* data) {
  try {
    delete JsDataRecord<JsObject>::From(data);
  } catch (...) {
    spdlog::error("halyx::JsObject: destructor threw");
  }
}

}  // namespace halyx
