#include "ui/converter_app.h"

#include <memory>

#include "ui/converter_dialog.h"

namespace vexlor::ui {

ConverterApp::ConverterApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Vexlor"));
  setQuitOnLastWindowClosed(false);
}

int ConverterApp::InitInstance() {
  auto dialog = std::make_unique<ConverterDialog>();
  setWindowIcon(dialog->icon());
  dialog->exec();
  dialog.reset();
  return 0;
}

}  // namespace vexlor::ui
