#include <QByteArray>
#include <QDir>
#include <QFile>
#include <cstdint>

#include "ui_test_support.h"

namespace vexlor::ui::testing {
namespace {

uint32_t U32(const QByteArray& b, qsizetype at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b.at(at + i));
  return v;
}
QByteArray Id(const QByteArray& b, qsizetype at) {
  return b.mid(at, 4);
}

}  // namespace

QString CheckAviFile(const QString& path, int* chunk_count) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "cannot open " + path;
  const QByteArray b = file.readAll();
  if (b.size() < 12 || Id(b, 0) != "RIFF" || Id(b, 8) != "AVI ") return "no RIFF AVI header";
  if (U32(b, 4) + 8ull != static_cast<uint64_t>(b.size())) {
    return QString("RIFF size %1 does not match the file size %2").arg(U32(b, 4)).arg(b.size());
  }
  qsizetype movi = -1, movi_end = -1, idx1 = -1;
  uint32_t idx1_size = 0;
  bool hdrl = false;
  for (qsizetype at = 12; at < b.size();) {
    if (at + 8 > b.size()) return "truncated chunk header";
    const uint32_t size = U32(b, at + 4);
    const qsizetype end = at + 8 + size + (size & 1);
    if (end > b.size()) return "chunk runs past the end of the file";
    if (Id(b, at) == "LIST" && size >= 4) {
      if (Id(b, at + 8) == "hdrl") hdrl = true;
      if (Id(b, at + 8) == "movi") movi = at + 8, movi_end = at + 8 + size;
    } else if (Id(b, at) == "idx1") {
      idx1 = at + 8, idx1_size = size;
    }
    at = end;
  }
  if (!hdrl || movi < 0 || idx1 < 0) return "header list, movie list or index missing";
  if (idx1_size % 16 != 0) return "index size is not a multiple of 16";
  int count = 0;
  for (uint32_t e = 0; e < idx1_size; e += 16) {
    const QByteArray id = Id(b, idx1 + e);
    const qsizetype chunk = movi + U32(b, idx1 + e + 8);
    const uint32_t size = U32(b, idx1 + e + 12);
    if (chunk < movi + 4 || chunk + 8 + size > movi_end)
      return "index entry outside the movie list";
    if (Id(b, chunk) != id || U32(b, chunk + 4) != size)
      return "index entry does not match its chunk";
    ++count;
  }
  if (chunk_count) *chunk_count = count;
  return QString();
}

QString SampleRecording() {
  const QDir samples(QStringLiteral(VEXLOR_SOURCE_DIR "/samples"));
  const QStringList found = samples.entryList({"*.kvr"}, QDir::Files, QDir::Name);
  return found.isEmpty() ? QString() : samples.filePath(found.first());
}

}  // namespace vexlor::ui::testing
