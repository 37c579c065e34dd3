// <input type=file> and the reads behind FileReader: a person's click on the
// input opens the system's open dialog (main page only), and the file picked
// there becomes a pick with an id that script sees on input.files; script
// never learns the path and can read nothing but a pick of its own page.
//
// A read opens the file without following a link at its end, refuses a
// folder, a link and anything larger than kMaxFileBytes, and runs on a
// worker; the bytes come back to the page from the message loop, and are
// dropped when the view or its page is gone by then.
//
// Thread: GUI thread; a part of its WebView (a friend of the view). Reads
// run on a worker of the EngineHost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <map>
#include <memory>
#include <string>

namespace halyx::engine {

class WebView;

class FilePicker {
 public:
  // What a page may read of one file.
  static constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;
  // Reads of one view running at once, each on a worker thread of its own.
  static constexpr int kMaxReading = 4;

  explicit FilePicker(WebView& view) : view_(view) {}
  FilePicker(const FilePicker&) = delete;
  FilePicker& operator=(const FilePicker&) = delete;

  // The person clicked file input `element`: the open dialog, and on a pick
  // the input's input and change events.
  void Choose(int element);
  // The pick shown in `element`; false for none.
  bool PickOf(int element, int& pick, std::string& name, double& size) const;
  // The person picked `path` in the dialog opened for `element`.
  void Picked(int element, std::uint32_t generation, const std::wstring& path);
  // Starts reading `pick` for read request `request`; the reason when
  // refused at once.
  std::string Read(int request, int pick);

  // Reads at most `limit` bytes of the file at `path`, not following a
  // link at its end; false with the reason.
  static bool ReadPicked(const std::wstring& path, std::size_t limit, std::string& bytes, std::string& why);
  // The open dialog's filter for an `accept` list (".conf,text/plain"):
  // pairs of a description and "*.a;*.b", each ended by a null, then a
  // final null; "All files" last.
  static std::wstring FilterFor(const std::string& accept);

 private:
  struct Pick {
    std::wstring path;
    std::string name;
    double size = 0;
    unsigned serial = 0;  // of the page's script that got it
  };
  struct Shown {
    std::uint32_t generation = 0;
    int pick = 0;
  };

  // Runs the dialog for `element` of view `id`. Static, with the view looked
  // up again afterwards: the dialog's message loop runs the page's timers
  // and tasks, which may replace the page or destroy the view.
  static void RunDialog(unsigned id, int element, std::uint32_t generation, unsigned serial,
                        const std::wstring& filter);

  WebView& view_;
  // Reads whose worker has not ended; the workers count themselves out.
  std::shared_ptr<std::atomic<int>> reading_ = std::make_shared<std::atomic<int>>(0);
  std::map<int, Pick> picks_;
  std::map<int, Shown> shown_;  // by element index
  int nextPick_ = 1;
};

}  // namespace halyx::engine
