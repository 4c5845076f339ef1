// The converter dialog's logic, shared by every desktop front end: the OPEN KVR and CONVERT
// commands, a dropped recording, the status line, the worker's events and closing during a
// conversion. A front end is a thin view that draws the controls and supplies the three things
// below; it passes every command and every posted event on to the controller.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "app/conversion_job.h"

namespace vexlor::app {

// What the controller needs of a window toolkit.
class DialogView {
 public:
  virtual ~DialogView() = default;
  // Shows `text` (UTF-8) in the status line. Window thread.
  virtual void ShowStatus(const std::string& text) = 0;
  // Runs the open-file dialog (filters: kRecordingFilters) and returns the full path of the
  // chosen file (UTF-8), or an empty string when the user cancels. Window thread.
  virtual std::string AskForRecording() = 0;
  // Called on the worker thread: queue (kind, value) for the window thread, which hands it to
  // DialogController::OnProgress. Returns false when the window system refuses it (its queue
  // is full). Must return at once, never wait for the window thread; events that arrive when
  // the window is gone are dropped. The controller keeps at most one of them queued.
  virtual bool PostToWindow(int kind, int value) = 0;
};

// Which of the worker's events are worth a status line. The worker reports every frame it
// reads, far more often than the line can change or be read: an event goes to the window when
// its text differs from the one sent last; when it starts another line (another kind of event,
// or another channel's writing) at once, else at most once every kProgressIntervalMs.
inline constexpr int64_t kProgressIntervalMs = 25;
struct ProgressGate {
  int kind = -1;  // the event sent last, its text and when (steady clock, milliseconds)
  int value = -1;
  std::string text;
  int64_t at_ms = 0;
};
// Whether the event (kind, value), whose status line reads `text`, goes to the window at
// `now_ms`; the gate records it when it does.
bool PassesGate(ProgressGate* gate, int kind, int value, const std::string& text, int64_t now_ms);

// The open-file dialog's filters: what the list shows and the patterns it stands for
// (separated by ';').
struct FileFilter {
  const char* label;
  const char* patterns;
};
inline constexpr FileFilter kRecordingFilters[] = {
    {"MPEG Files (*.ms2;*.m4v;*.kvr)", "*.ms2;*.m4v;*.kvr"},
    {"All Files (*.*)", "*.*"},
};

class DialogController : private ProgressSink {
 public:
  // The view must outlive the controller. The status line starts as "None Select"; the view
  // shows status_text() when its controls exist.
  explicit DialogController(DialogView* view);
  // Closes: cancels and awaits a running worker before the job is released.
  ~DialogController() override;
  DialogController(const DialogController&) = delete;
  DialogController& operator=(const DialogController&) = delete;

  // OPEN KVR: ignored while a conversion runs. Otherwise closes the open recording and asks
  // for another: a cancelled choice shows "None Select"; a chosen file is opened (its path
  // shown), refused at 2 GB ("Can Not Accept File Than 2GB"), or, when it cannot be opened,
  // leaves the text as it was.
  void OnOpenRecording();
  // A recording dropped onto the dialog: opened like a chosen one; ignored while a conversion
  // runs.
  void OnDrop(const std::string& path);
  // Whether a drop would be taken now (the view may refuse the drag early).
  bool AcceptsDrop() const { return !job_.Running(); }
  // CONVERT: starts the worker when none runs; otherwise nothing.
  void OnConvert();
  // A posted progress event reaches the window thread: the status text of the latest event the
  // worker has sent since (this one's when called directly; an unknown kind changes nothing).
  void OnProgress(int kind, int value);
  // The dialog is going away: raises the cancel flag and waits until the worker has ended.
  // The file being written is closed and stays a valid AVI file. Events still queued for the
  // window are to be dropped by the view.
  void OnClose();

  const std::string& status_text() const { return status_text_; }
  ConversionJob& job() { return job_; }
  const ConversionJob& job() const { return job_; }

 private:
  // Worker thread. Events that would not change the line, or come too soon, are dropped; the
  // others are kept for the window as the latest, with one posted event on its way to show
  // it. The last event of a conversion is always delivered: while the window's queue refuses
  // it, it is posted again until it is taken or the conversion is cancelled.
  void PostProgress(ProgressKind kind, int value) override;
  void OpenChosen(const std::string& path);
  void SetStatus(std::string text);

  DialogView* view_;
  // Between the worker and the window thread (before the job, which ends the worker).
  std::mutex mu_;
  ProgressGate gate_;        // what the worker sent last
  bool has_latest_ = false;  // an event sent, not yet shown
  int latest_kind_ = 0;
  int latest_value_ = 0;
  bool posted_ = false;  // a posted event is on its way to the window

  ConversionJob job_;
  std::string status_text_;
};

}  // namespace vexlor::app
