#include "platform/console.h"
#include "ui/converter_app.h"

int main(int argc, char** argv) {
  // A full disk or a file-size limit is then a write error shown in the status line.
  vexlor::platform::IgnoreWriteSignals();
  vexlor::ui::ConverterApp app(argc, argv);
  return app.InitInstance();
}
