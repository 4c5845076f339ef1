#include "app/dialog_controller.h"

#include <chrono>
#include <thread>
#include <utility>

namespace vexlor::app {
namespace {

// The events after which the worker posts nothing more.
bool IsLastEvent(int kind) {
  return kind == kDone || kind == kNoChannel || kind == kWriteError || kind == kSkipped;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool PassesGate(ProgressGate* gate, int kind, int value, const std::string& text, int64_t now_ms) {
  if (text == gate->text) return false;
  const bool same_line = kind == gate->kind && (kind != kWriteStep || value == gate->value);
  if (same_line && now_ms - gate->at_ms < kProgressIntervalMs) return false;
  *gate = ProgressGate{kind, value, text, now_ms};
  return true;
}

DialogController::DialogController(DialogView* view) : view_(view), status_text_(kNoneSelectText) {
  job_.keep_pictures = false;  // the dialog shows no picture
}

DialogController::~DialogController() {
  // The worker posts through this object and uses the job until it ends.
  OnClose();
}

void DialogController::SetStatus(std::string text) {
  status_text_ = std::move(text);
  view_->ShowStatus(status_text_);
}

void DialogController::OnOpenRecording() {
  if (job_.Running()) return;
  job_.CloseRecording();
  const std::string chosen = view_->AskForRecording();
  if (chosen.empty()) {
    SetStatus(kNoneSelectText);  // the earlier recording is closed already
    return;
  }
  OpenChosen(chosen);
}

void DialogController::OnDrop(const std::string& path) {
  if (job_.Running() || path.empty()) return;
  job_.CloseRecording();
  OpenChosen(path);
}

void DialogController::OpenChosen(const std::string& path) {
  switch (job_.OpenRecording(path).code()) {
    case StatusCode::kOk:
      SetStatus(path);
      break;
    case StatusCode::kTooLarge:
      SetStatus(kTooLargeText);
      break;
    default:  // cannot be opened: no message, the text stays as it was
      break;
  }
}

void DialogController::OnConvert() {
  if (job_.Running()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    gate_ = ProgressGate{};
    gate_.text = status_text_;
  }
  job_.StartConversion(this);
}

void DialogController::PostProgress(ProgressKind kind, int value) {
  const bool last = IsLastEvent(kind);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!last &&
        !PassesGate(&gate_, kind, value, ProgressText(job_, kind, value, gate_.text), NowMs())) {
      return;
    }
    latest_kind_ = kind;
    latest_value_ = value;
    has_latest_ = true;
    if (posted_) return;  // the event on its way shows this one
    posted_ = true;
  }
  while (!view_->PostToWindow(kind, value)) {
    if (!last || job_.CancelRequested()) {
      // A later event posts again; a cancelled conversion's window is going away.
      std::lock_guard<std::mutex> lock(mu_);
      posted_ = false;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void DialogController::OnProgress(int kind, int value) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    posted_ = false;
    if (has_latest_) {
      kind = latest_kind_;
      value = latest_value_;
      has_latest_ = false;
    }
  }
  std::string text = ProgressText(job_, kind, value, status_text_);
  if (text != status_text_) SetStatus(std::move(text));
}

void DialogController::OnClose() {
  job_.CancelAndWait();
}

}  // namespace vexlor::app
