#include "stand_in_options.h"

#include <string>

#include "base/utf8.h"

namespace halyx::standin {

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

std::wstring StandInOptions::ToArguments() const {
  std::wstring args = L"--name " + Quote(serviceName) + L" --pipe " + Quote(Widen(pipeName));
  if (!logDirectory.empty()) args += L" --log-dir " + Quote(logDirectory);
  args += L" --outbound " + Quote(Widen(outbound));
  if (noPipe) args += L" --no-pipe";
  if (stuckStart) args += L" --stuck-start";
  if (stuckStop) args += L" --stuck-stop";
  if (split) args += L" --split";
  if (merge) args += L" --merge";
  if (malformed) args += L" --malformed";
  if (oversized) args += L" --oversized";
  if (delayMs) args += L" --delay " + std::to_wstring(delayMs);
  if (startDelayMs) args += L" --start-delay " + std::to_wstring(startDelayMs);
  if (failStart) args += L" --fail-start " + std::to_wstring(failStart);
  if (dropAfter) args += L" --drop-after " + std::to_wstring(dropAfter);
  if (pushEveryMs) args += L" --push-every " + std::to_wstring(pushEveryMs);
  if (padding) args += L" --pad " + std::to_wstring(padding);
  return args;
}

bool ParseOptions(const std::vector<std::wstring>& args, StandInOptions& options, std::wstring& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    auto number = [&](auto& out) {
      if (!hasValue) return false;
      try {
        out = static_cast<std::remove_reference_t<decltype(out)>>(std::stoul(args[++i]));
      } catch (const std::exception&) {
        return false;
      }
      return true;
    };
    bool ok = true;
    if (arg == L"--name" && hasValue) {
      options.serviceName = args[++i];
    } else if (arg == L"--pipe" && hasValue) {
      options.pipeName = Narrow(args[++i]);
    } else if (arg == L"--log-dir" && hasValue) {
      options.logDirectory = args[++i];
    } else if (arg == L"--outbound" && hasValue) {
      options.outbound = Narrow(args[++i]);
    } else if (arg == L"--start-type" && hasValue) {
      const std::wstring& type = args[++i];
      options.startType = type == L"disabled" ? SERVICE_DISABLED
                          : type == L"auto"   ? SERVICE_AUTO_START
                                              : SERVICE_DEMAND_START;
    } else if (arg == L"--no-pipe") {
      options.noPipe = true;
    } else if (arg == L"--stuck-start") {
      options.stuckStart = true;
    } else if (arg == L"--stuck-stop") {
      options.stuckStop = true;
    } else if (arg == L"--split") {
      options.split = true;
    } else if (arg == L"--merge") {
      options.merge = true;
    } else if (arg == L"--malformed") {
      options.malformed = true;
    } else if (arg == L"--oversized") {
      options.oversized = true;
    } else if (arg == L"--delay") {
      ok = number(options.delayMs);
    } else if (arg == L"--start-delay") {
      ok = number(options.startDelayMs);
    } else if (arg == L"--fail-start") {
      ok = number(options.failStart);
    } else if (arg == L"--drop-after") {
      ok = number(options.dropAfter);
    } else if (arg == L"--push-every") {
      ok = number(options.pushEveryMs);
    } else if (arg == L"--pad") {
      ok = number(options.padding);
    } else {
      ok = false;
    }
    if (!ok) {
      error = L"bad option " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace halyx::standin
