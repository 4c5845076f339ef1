#include "app/dialog_controller.h"

#include <utility>

namespace vexlor::app {

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
  job_.StartConversion(this);
}

void DialogController::PostProgress(ProgressKind kind, int value) {
  view_->PostToWindow(kind, value);
}

void DialogController::OnProgress(int kind, int value) {
  std::string text = ProgressText(job_, kind, value, status_text_);
  if (text != status_text_) SetStatus(std::move(text));
}

void DialogController::OnClose() {
  job_.CancelAndWait();
}

}  // namespace vexlor::app
