// The installer's switches: each alone and exactly as written; anything
// else is a usage error rather than a second instance; no argument starts
// the program as always.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/setup_command.h"
#include "base/utf8.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using Action = SetupCommand::Action;

TEST(SetupCommandTest, EachSwitchAloneAndAsWritten) {
  struct Case {
    std::vector<std::wstring> arguments;
    Action expected;
  };
  const Case cases[] = {
      {{}, Action::kNone},
      {{L"--autostart=on"}, Action::kAutoStartOn},
      {{L"--autostart=off"}, Action::kAutoStartOff},
      {{L"--quit-running"}, Action::kQuitRunning},
      // Not a prefix, not another case, not two at once, not a value left
      // open: the installer passes exactly these texts.
      {{L"--autostart"}, Action::kInvalid},
      {{L"--autostart="}, Action::kInvalid},
      {{L"--autostart=yes"}, Action::kInvalid},
      {{L"--AUTOSTART=on"}, Action::kInvalid},
      {{L"--quit-running", L"--autostart=on"}, Action::kInvalid},
      {{L"--autostart=on", L""}, Action::kInvalid},
      {{L""}, Action::kInvalid},
      {{L"/S"}, Action::kInvalid},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SetupCommand::Parse(c.arguments), c.expected)
        << (c.arguments.empty() ? std::string("(none)") : std::string(c.arguments[0].begin(), c.arguments[0].end()));
  }
}

TEST(SetupCommandTest, RunWithoutAnActionDoesNothing) {
  EXPECT_EQ(SetupCommand::Run(Action::kNone), SetupCommand::kExitDone);
  EXPECT_EQ(SetupCommand::Run(Action::kInvalid), SetupCommand::kExitUsage);
}

// No lock file, or a lock file nobody holds (a crashed run's), means no
// instance: nothing to wait for.
TEST(SetupCommandTest, QuitRunningWithNoInstanceReturnsAtOnce) {
  testing::ScopedTempDir root;
  UserDataFolder::Settings folders;
  const std::string rootPath = WideToUtf8(root.path());
  folders.root = [rootPath](std::string& folder) {
    folder = rootPath;
    return true;
  };
  EXPECT_TRUE(SetupCommand::QuitRunning(0, folders));
  std::wstring mine;
  ASSERT_TRUE(UserDataFolder::Ensure(L"", mine, "Test", folders));
  ASSERT_TRUE(testing::WriteWholeFile(mine + L"\\quorvpn.lock", "4242"));
  EXPECT_TRUE(SetupCommand::QuitRunning(0, folders));
}

}  // namespace
}  // namespace halyx
