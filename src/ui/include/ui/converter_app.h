// The application object: runs the converter dialog modally and exits when it closes.
#pragma once

#include <QApplication>

namespace vexlor::ui {

class ConverterApp : public QApplication {
  Q_OBJECT

 public:
  ConverterApp(int& argc, char** argv);
  // Creates the dialog, runs it modally and destroys it (which stops a running worker).
  // Returns the program's exit status.
  int InitInstance();
};

}  // namespace vexlor::ui
