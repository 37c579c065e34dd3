// The Task Scheduler task that starts the client when its user logs on.
//
// The client's manifest requires administrator rights, and Windows does not
// start such a program from the Run key at log-on: the entry is skipped
// without a word. The Task Scheduler does start it, elevated and without a
// prompt, for a task whose principal is the user with the highest run level.
// Auto-start therefore keeps one such task per user beside its Run value.
//
//   const std::wstring sid = LogOnTask::CurrentUserSid();
//   LogOnTask::Register(LogOnTask::NameFor(sid), sid, L"C:\\Program Files\\QuorVPN\\QuorVPN.exe");
//   LogOnTask::Remove(LogOnTask::NameFor(sid));
//
// The task lives in the scheduler's root folder, named after the Run value
// and the user's SID, so that every user of the machine has a task of their
// own. Its trigger is that user's log-on; it runs with the user's
// interactive token at the highest level, starts the executable (quoted) in
// the executable's own folder, has no time limit, is not held back or
// stopped on battery power and cannot be started on demand. Only SYSTEM and
// Administrators may read or change it (kSecurity): the user, who would own
// it by default, must not be able to point it at another program.
//
// Registering needs administrator rights, which the client has. Failures
// return false after one error line.
//
// Thread: any. COM is initialised for the call where the thread has not done
// it already.
#pragma once

#include <string>

namespace halyx {

class LogOnTask {
 public:
  // The task's access list: SYSTEM and Administrators, nobody else.
  static constexpr const wchar_t* kSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

  // The SID of the user this process runs as ("S-1-5-21-..."); empty, after
  // one error line, when the token cannot be read.
  static std::wstring CurrentUserSid();
  // "com.quorvpn.win32 <sid>".
  static std::wstring NameFor(const std::wstring& userSid);
  // The task in the scheduler's XML schema.
  static std::wstring Definition(const std::wstring& userSid, const std::wstring& executable);

  // Creates the task `name`, or replaces one of that name.
  static bool Register(const std::wstring& name, const std::wstring& userSid, const std::wstring& executable);
  // Whether the task `name` exists; false after one error line when the
  // scheduler cannot be asked.
  static bool Exists(const std::wstring& name, bool& exists);
  // Deletes the task `name`; a task that does not exist is no failure.
  static bool Remove(const std::wstring& name);
};

}  // namespace halyx
