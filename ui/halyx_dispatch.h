// The native API of a page: the script global "HalyxDispatch" with its 21
// functions (tunnel control and configuration, tracing, measurements, logs,
// device identity, window commands, version and update check) for the main
// page, and only the version and the window commands for a page in a web
// window that UrlPolicy trusts.
//
//   // on document-ready, by the page's window controller:
//   auto* dispatch = new HalyxDispatch(view, hwnd, TunnelManager::Instance(), PageAccess::kFull);
//   jsSetGlobal(wkeGlobalExec(view), "HalyxDispatch", dispatch->value());
//
// Answers: a synchronous result for GetVersion, GetDeviceName, GetDeviceId;
// everything else returns undefined and answers later through the page's
// HalyxBridge.PostResult: result notices {"type":..,"result":n} (1 invalid
// arguments, 3 payload not decryptable or not parsable), the SetAdLocal
// answer, and every tunnel event. Argument errors also go to the calling
// context's console. Measurement and log-archive results are posted to
// `hwnd` as window messages, which that window's controller relays or frees.
//
// Ownership: created with new and deleted only by the engine's finalize
// callback; it owns its I/O loop (one measurement thread per page), the WMI
// helper and the hasher. It subscribes to the tunnel manager's events for
// its life and unsubscribes when finalized.
//
// Thread: GUI thread (every function runs inside the engine's call).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "base/version.h"
#include "diag/md5_hasher.h"
#include "diag/wmi_helper.h"
#include "net/io_loop.h"
#include "tunnel/tunnel_manager.h"
#include "ui/bridge_object.h"
#include "ui/url_policy.h"
#include "ui/wke_binding.h"

namespace halyx {

class HalyxDispatch : public BridgeObject {
 public:
  // The program's version; also the fixed key text of key mode 3.
  static constexpr const char* kVersion = QUOR_VERSION;

  // The protected-data arguments of SetAdInfo, SetAdGlobal and SetAdLocal.
  struct ProtectedArgs {
    std::string id;
    std::string payload;
    int adType = 1;
    std::string keyText;
  };

  // `access` kFull: all 21 functions, an I/O loop and the tunnel's events;
  // kWindow: GetVersion and the three window commands only.
  HalyxDispatch(wkeWebView view, HWND hwnd, TunnelManager& tunnel, PageAccess access);
  ~HalyxDispatch() override;

  // {"type":"<type>","result":<code>} to this page.
  void PostResult(const std::string& type, unsigned code);
  // Tunnel-event subscriber: `text` is the event's JSON (char*); answers
  // true so that later subscribers still run.
  bool PostJson(void* text);
  void PostJson(const std::string& json);
  // console.error('<text>') in the calling context.
  static void ReportError(jsExecState es, const std::string& text);

  // The page's functions.
  jsValue GetVersion(jsExecState es, jsValue* args, int argc);
  jsValue SetConfig(jsExecState es, jsValue* args, int argc);
  jsValue StartTunnel(jsExecState es, jsValue* args, int argc);
  jsValue StopTunnel(jsExecState es, jsValue* args, int argc);
  jsValue OpenUrl(jsExecState es, jsValue* args, int argc);
  jsValue LogJSConsole(jsExecState es, jsValue* args, int argc);
  jsValue GetLogFiles(jsExecState es, jsValue* args, int argc);
  jsValue PostNotification(jsExecState es, jsValue* args, int argc);
  jsValue MinimizeWindow(jsExecState es, jsValue* args, int argc);
  jsValue CloseWindow(jsExecState es, jsValue* args, int argc);
  jsValue MoveWindow(jsExecState es, jsValue* args, int argc);
  jsValue GetDeviceName(jsExecState es, jsValue* args, int argc);
  jsValue GetDeviceId(jsExecState es, jsValue* args, int argc);
  jsValue StartTracing(jsExecState es, jsValue* args, int argc);
  jsValue StopTracing(jsExecState es, jsValue* args, int argc);
  jsValue SetAdInfo(jsExecState es, jsValue* args, int argc);
  jsValue SetAdGlobal(jsExecState es, jsValue* args, int argc);
  jsValue SetAdLocal(jsExecState es, jsValue* args, int argc);
  jsValue NewWindow(jsExecState es, jsValue* args, int argc);
  jsValue CheckUpdate(jsExecState es, jsValue* args, int argc);
  jsValue LoadConfig(jsExecState es, jsValue* args, int argc);

 private:
  // Reads the protected-data arguments; false after the "<name>: invalid
  // argument" or "<name>: invalid args" report and notice 1.
  bool ReadProtectedArgs(jsExecState es, jsValue* args, int argc, const char* name, ProtectedArgs& out);
  // Decrypts; false after "<name>: df" and notice 3.
  bool Decrypt(jsExecState es, const char* name, const ProtectedArgs& in, std::string& plaintext);
  // Parses `plaintext` into `record`; false after a warning and notice 3.
  template <typename Record>
  bool FillRecord(const char* name, const std::string& plaintext, Record& record);
  // The protected arguments of SetAdInfo / SetAdGlobal read, decrypted and
  // parsed into a record carrying the page's id; null after the notice or
  // console error the failing step gave.
  template <typename Record>
  std::shared_ptr<Record> ReadMeasureRecord(jsExecState es, jsValue* args, int argc, const char* name);
  void PostSystemCommand(WPARAM command) const;

  std::unique_ptr<IoLoop> ioLoop_;
  std::unique_ptr<WmiHelper> wmi_;
  std::unique_ptr<Md5Hasher> hasher_;
  wkeWebView view_;
  HWND hwnd_;
  TunnelManager& tunnel_;
  const bool full_;
};

}  // namespace halyx
