// A script object whose properties are native functions: the base of the
// dispatch object that a page reaches as a script global.
//
//   class Pinger : public BridgeObject {
//    public:
//     explicit Pinger(jsExecState es) : BridgeObject(es, "Pinger") {
//       AddFunction(es, *new BridgeFunction<Pinger>(es, "Ping", this, &Pinger::Ping));
//     }
//     jsValue Ping(jsExecState es, jsValue* args, int argc);
//   };
//   jsSetGlobal(es, "Pinger", (new Pinger(es))->value());
//
// Reading a registered name gives its function object; any other name gives
// undefined and a debug line. Ownership: created with new, deleted only by
// its finalize callback; its map holds script values, not native pointers,
// and its functions are finalized by the engine on their own.
//
// Thread: GUI thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "ui/bridge_function.h"
#include "ui/js_data_record.h"
#include "ui/wke_binding.h"

namespace halyx {

class BridgeObject {
 public:
  // `name` becomes the script type name (at most 99 characters).
  BridgeObject(jsExecState es, const char* name);
  virtual ~BridgeObject();
  BridgeObject(const BridgeObject&) = delete;
  BridgeObject& operator=(const BridgeObject&) = delete;

  jsValue value() const { return value_; }
  // Expires when this object is destroyed; its functions check it.
  std::weak_ptr<void> life() const { return life_; }

  // Publishes `fn` under its name; a later function of the same name wins.
  template <class T>
  void AddFunction(jsExecState es, const BridgeFunction<T>& fn) {
    AddFunctionValue(es, fn.name(), fn.value());
  }

 private:
  friend struct JsDataRecord<BridgeObject>;
  static constexpr const char* kLogName = "halyx::BridgeObject::GetFunction";

  void AddFunctionValue(jsExecState es, const std::string& name, jsValue fn);
  jsValue GetFunction(const std::string& name) const;

  JsDataRecord<BridgeObject> data_;
  jsValue value_;
  std::map<std::string, jsValue> members_;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

}  // namespace halyx
