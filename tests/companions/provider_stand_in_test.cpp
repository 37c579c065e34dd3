// The demo provider (http_endpoint --serve), which the end-to-end tests and
// the demo subscribe to: it serves the files of its folder by name and
// nothing beside them, and answers as the failure it is switched to at run
// time until switched back.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "base/unique_handle.h"
#include "base/utf8.h"
#include "net/http_client.h"
#include "support/net_stand_ins.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

bool WriteTextFile(const std::wstring& path, const std::string& text) {
  FileHandle file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.valid() && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

struct Answer {
  bool ok = false;
  std::wstring headers;
  std::string body;
};

Answer Get(const HttpEndpoint& provider, const std::string& path, DWORD deadlineMs = 10000) {
  HttpClient::Limits limits;
  limits.maxBodyBytes = 4 * 1024 * 1024;
  limits.deadlineMs = deadlineMs;
  HttpClient client(provider.Url() + path, limits);
  Answer answer;
  answer.ok = client.Request(L"GET");
  answer.headers = client.headers();
  answer.body = WideToUtf8(client.body());
  return answer;
}

bool StatusIs(const Answer& answer, int status) {
  return answer.headers.rfind(L"HTTP/1.1 " + std::to_wstring(status) + L" ", 0) == 0;
}

TEST(ProviderStandIn, ServesItsFolderAndAnswersAsTheFailureItIsSwitchedTo) {
  ScopedTempDir folder;
  const std::string document = R"({"format":"quorvpn-subscription","sealed":"good"})";
  const std::string otherKey = R"({"format":"quorvpn-subscription","sealed":"other"})";
  ASSERT_TRUE(WriteTextFile(folder.path() + L"\\subscription.json", document));
  ASSERT_TRUE(WriteTextFile(folder.path() + L"\\subscription.wrong-key.json", otherKey));
  ASSERT_TRUE(WriteTextFile(folder.path() + L"\\tokyo.conf", "[Interface]\nAddress = 10.8.0.2/32\n"));
  ScopedTempDir outside;
  ASSERT_TRUE(WriteTextFile(outside.path() + L"\\secret.json", "{}"));
  HttpEndpoint provider({"--serve", WideToUtf8(folder.path())});
  ASSERT_TRUE(provider.ok());

  Answer answer = Get(provider, "/subscription.json");
  EXPECT_TRUE(StatusIs(answer, 200)) << WideToUtf8(answer.headers);
  EXPECT_NE(answer.headers.find(L"Content-Type: application/json"), std::wstring::npos);
  EXPECT_EQ(answer.body, document);
  answer = Get(provider, "/tokyo.conf");
  EXPECT_NE(answer.headers.find(L"Content-Type: text/plain"), std::wstring::npos);
  EXPECT_EQ(answer.body, "[Interface]\nAddress = 10.8.0.2/32\n");
  // Only names of the folder itself.
  const std::string up =
      "/..%5C" + WideToUtf8(outside.path().substr(outside.path().rfind(L'\\') + 1)) + "%5Csecret.json";
  for (const std::string& path : {std::string("/nothing.json"), std::string("/.hidden"), up}) {
    EXPECT_TRUE(StatusIs(Get(provider, path), 404)) << path;
  }

  struct Mode {
    const char* name;
    int status;
    const char* bodyHolds;
  };
  const Mode modes[] = {{"missing", 404, "404 Not Found"},
                        {"garbage", 200, "This service has moved."},
                        {"wrong-key", 200, "\"sealed\":\"other\""},
                        {"oversized", 200, "{\"padding\":\"xxxx"}};
  for (const Mode& mode : modes) {
    answer = Get(provider, std::string("/provider/") + mode.name);
    ASSERT_EQ(answer.body, mode.name);
    answer = Get(provider, "/subscription.json");
    EXPECT_TRUE(StatusIs(answer, mode.status)) << mode.name;
    EXPECT_NE(answer.body.find(mode.bodyHolds), std::string::npos) << mode.name << ": " << answer.body.substr(0, 80);
  }
  EXPECT_GT(answer.body.size(), 2u * 1024 * 1024);

  // Slow: the head at once, then a body that never ends.
  ASSERT_EQ(Get(provider, "/provider/slow").body, "slow");
  answer = Get(provider, "/subscription.json", 1500);
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.body.find("quorvpn-subscription"), std::string::npos);

  ASSERT_EQ(Get(provider, "/provider/ok").body, "ok");
  EXPECT_EQ(Get(provider, "/subscription.json").body, document);
  // An unknown mode changes nothing.
  EXPECT_TRUE(StatusIs(Get(provider, "/provider/teapot"), 404));
  EXPECT_EQ(Get(provider, "/subscription.json").body, document);
}

}  // namespace
}  // namespace halyx::testing
