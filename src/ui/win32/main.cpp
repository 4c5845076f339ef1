// vexlor-gui.exe: the converter dialog as a Windows program.
#include <windows.h>
// (after windows.h)
#include <commctrl.h>

#include <algorithm>
#include <cstdlib>

#include "converter_dialog.h"

namespace vexlor::ui {

// The application object: runs the dialog modally and ends with it.
class ConverterApp {
 public:
  explicit ConverterApp(HINSTANCE instance) : instance_(instance) {}

  int InitInstance() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    ConverterDialog dialog(instance_);
    // Only the tests set these: the conversion waits at a known point until it is cancelled;
    // the window thread stalls during a conversion, with a queue that takes few of its messages.
    dialog.job().hold_point = app::ParseHoldPoint(std::getenv("VEXLOR_TEST_HOLD"));
    dialog.test_stall = std::getenv("VEXLOR_TEST_STALL") != nullptr;
    if (const char* limit = std::getenv("VEXLOR_TEST_QUEUE_LIMIT")) {
      dialog.test_queue_limit =
          static_cast<int>(std::clamp(std::strtol(limit, nullptr, 10), 0L, 1000L));
    }
    dialog.DoModal();
    return 0;
  }

 private:
  HINSTANCE instance_;
};

}  // namespace vexlor::ui

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return vexlor::ui::ConverterApp(instance).InitInstance();
}
