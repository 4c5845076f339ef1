#include "ui/converter_app.h"

int main(int argc, char** argv) {
  vexlor::ui::ConverterApp app(argc, argv);
  return app.InitInstance();
}
