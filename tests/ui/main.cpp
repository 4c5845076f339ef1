#include <QApplication>
#include <QtTest>
#include <memory>

#include "ui_test_support.h"

namespace vexlor::ui::testing {
std::vector<TestFactory>& Registry() {
  static std::vector<TestFactory> registry;
  return registry;
}
}  // namespace vexlor::ui::testing

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int failures = 0;
  for (const auto& make : vexlor::ui::testing::Registry()) {
    std::unique_ptr<QObject> test(make());
    failures += QTest::qExec(test.get(), argc, argv);
  }
  return failures == 0 ? 0 : 1;
}
