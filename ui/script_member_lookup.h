// The property-read rule shared by the script wrappers: the value remembered
// under `name`, or undefined after the debug line "{where}: out of range:
// {name}" (the page read a name that native code never set).
//
// Thread: GUI thread (an engine callback).
#pragma once

#include <map>
#include <string>

#include <spdlog/spdlog.h>

#include "ui/wke_binding.h"

namespace halyx {

inline jsValue LookUpScriptMember(const std::map<std::string, jsValue>& members, const std::string& name,
                                  const char* where) {
  const auto found = members.find(name);
  if (found != members.end()) return found->second;
  spdlog::debug("{0}: out of range: {1}", where, name);
  return ::jsUndefined();
}

}  // namespace halyx
