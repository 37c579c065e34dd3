// Reads back what a folder's access list grants to users other than SYSTEM,
// Administrators and the owner: Everyone, Users and Authenticated Users
// together. Wine keeps no access lists but maps them to the mode bits and
// back, so what "others" may do survives the round trip there too
// (docs/wine.md).
//
// Thread: any.
#pragma once

#include <windows.h>

#include <string>

namespace halyx::testing {

// ~0 when the access list cannot be read.
ACCESS_MASK GrantedToOthers(const std::wstring& folder);

}  // namespace halyx::testing
