// Shared pieces of the dialog tests.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <vector>

namespace vexlor::ui::testing {

// Each test file registers its QTest class; main runs them all.
using TestFactory = std::function<QObject*()>;
std::vector<TestFactory>& Registry();
struct Register {
  explicit Register(TestFactory f) { Registry().push_back(std::move(f)); }
};

// Checks that `path` is a complete AVI file: the RIFF size matches the file, the header
// list, the movie list and the index are present, and every index entry points at a
// chunk of the movie list with the same id and size. Returns an empty string when it is
// valid, else what is wrong.
QString CheckAviFile(const QString& path, int* chunk_count = nullptr);

// The first sample recording of the repository, or an empty string.
QString SampleRecording();

}  // namespace vexlor::ui::testing
