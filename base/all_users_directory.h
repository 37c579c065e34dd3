// The all-users profile folder (C:\ProgramData on every supported Windows),
// where the tunnel service's config files and logs live.
//
// Thread: any.
#pragma once

#include <string>

namespace halyx {

// The folder in the ANSI code page, without a trailing separator, from
// GetAllUsersProfileDirectoryA. Where that call is missing (Wine answers
// error 126), the common application-data folder stands in: it is the same
// folder on every Windows the client supports. False, with the first call's
// error left in the thread's last error, when neither answers; nothing is
// logged, callers log their own line.
bool GetAllUsersDirectory(std::string& folder);

}  // namespace halyx
