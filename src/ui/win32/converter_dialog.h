// The converter dialog for Windows: dialog template 102 run by the system's dialog manager, a
// thin view over the shared dialog logic (app::DialogController).
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "app/dialog_controller.h"
#include "skin_button.h"

namespace vexlor::ui {

// Posted by the conversion worker, at most one on its way at a time (app::DialogController):
// wParam the kind, lParam the value.
inline constexpr UINT kProgressMessage = WM_USER + 1;

class ConverterDialog : private app::DialogView {
 public:
  explicit ConverterDialog(HINSTANCE instance);
  // Stops a running worker (it posts to this object) before anything is released.
  ~ConverterDialog() override;
  ConverterDialog(const ConverterDialog&) = delete;
  ConverterDialog& operator=(const ConverterDialog&) = delete;

  // Runs the dialog modally until Enter, Escape or the close box ends it: IDOK or IDCANCEL.
  // The window is destroyed when this returns; a running conversion has been cancelled and
  // awaited by then.
  INT_PTR DoModal();

  app::ConversionJob& job() { return controller_.job(); }

  // For tests only, never set in normal use: the window thread stalls from CONVERT until the
  // conversion has ended, handling nothing meanwhile; and while test_queue_limit (when above 0)
  // progress messages wait in the queue, further ones are refused, as a full queue refuses them.
  bool test_stall = false;
  int test_queue_limit = 0;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  BOOL OnInitDialog();
  bool OnPaint();
  void OnDropFiles(HDROP drop);

  // app::DialogView
  void ShowStatus(const std::string& text) override;
  std::string AskForRecording() override;
  bool PostToWindow(int kind, int value) override;  // called on the worker thread

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;  // set before any worker starts, cleared after the last one ended
  HICON icon_ = nullptr;
  HICON small_icon_ = nullptr;
  SkinButton background_;
  std::atomic<int> queued_{0};  // progress messages posted and not yet handled
  // Last: destroyed first, so a running worker has ended before the rest goes.
  app::DialogController controller_{this};
};

}  // namespace vexlor::ui
