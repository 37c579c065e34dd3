#include "net/run_messages.h"

#include <memory>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/window_messages.h"

namespace halyx {

void PostRunMessage(HWND window, UINT id, const nlohmann::json& message, const char* source) {
  if (!PostPayload(window, id, std::make_unique<std::string>(message.dump()))) {
    spdlog::warn("PostMessageW from {} failed: {:#x}", source, LastError());
  }
}

}  // namespace halyx
