#include "ui/converter_dialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <memory>
#include <utility>

#include "ui_test_support.h"

namespace vexlor::ui::testing {
namespace {

// A chooser that answers from a script of paths ("" = cancel) and counts its calls.
struct ScriptedChooser {
  QStringList answers;
  int calls = 0;
  ConverterDialog::FileChooser Bind() {
    return [this](QWidget*) { return calls < answers.size() ? answers[calls++] : QString(); };
  }
};

QString Post(ConverterDialog& dialog, int kind, int value) {
  QCoreApplication::postEvent(&dialog, new ProgressEvent(kind, value));
  QCoreApplication::sendPostedEvents(&dialog, ProgressEvent::kType);
  return dialog.StatusText();
}

QPushButton* Button(ConverterDialog& dialog, int id) {
  return dialog.findChild<QPushButton*>(QString::number(id));
}

QString MakeFile(const QTemporaryDir& dir, const QString& name, qint64 size) {
  const QString path = dir.filePath(name);
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || !f.resize(size)) return QString();  // sparse
  return path;
}

void Drop(ConverterDialog& dialog, const QString& path) {
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(path)});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &enter);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &drop);
}

// Copies the sample recording into `dir`, `times` times over in one file (the packets are
// self-contained, so the concatenation is again a recording).
QString CopySample(const QTemporaryDir& dir, int times) {
  const QString sample = SampleRecording();
  if (sample.isEmpty()) return QString();
  QFile in(sample);
  if (!in.open(QIODevice::ReadOnly)) return QString();
  const QByteArray bytes = in.readAll();
  const QString path = dir.filePath(QStringLiteral("cam.kvr"));
  QFile out(path);
  if (!out.open(QIODevice::WriteOnly)) return QString();
  for (int i = 0; i < times; ++i) out.write(bytes);
  return path;
}

// Counts the progress events that reach the dialog.
class ProgressCounter : public QObject {
 public:
  explicit ProgressCounter(QObject* dialog) { dialog->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    count += event->type() == ProgressEvent::kType;
    return false;
  }
  int count = 0;
};

}  // namespace

class ConverterDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void showsTheTextOfEveryEventKind() {
    ConverterDialog dialog;
    QCOMPARE(dialog.StatusText(), QString("None Select"));
    QCOMPARE(Post(dialog, 0, 512), QString("Retrieving Channels Info. Progress = 50.00%"));
    QCOMPARE(Post(dialog, 0, 1023), QString("Retrieving Channels Info. Progress = 99.90%"));
    QCOMPARE(Post(dialog, 1, 0), QString("CH_01. Writing Progress = 0.00%"));
    QCOMPARE(Post(dialog, 1, 15), QString("CH_16. Writing Progress = 0.00%"));
    QCOMPARE(Post(dialog, 4, 2), QString("CH_03. Write Error"));
    QCOMPARE(Post(dialog, 9, 0), QString("CH_03. Write Error"));  // unknown kind: unchanged
    QCOMPARE(Post(dialog, 2, 0), QString("Done. Average FPS = 0.00"));
    QCOMPARE(Post(dialog, 3, 0), QString("It's Not A Mpeg-4 File"));
  }

  void openingChoosesCancelsAndDrops() {
    QTemporaryDir dir;
    const QString a = MakeFile(dir, "a.kvr", 14180);
    const QString b = MakeFile(dir, "b.ms2", 1418);
    ConverterDialog dialog;
    ScriptedChooser chooser{{a, "", dir.filePath("missing.kvr"), b}};
    dialog.SetFileChooser(chooser.Bind());

    QTest::mouseClick(Button(dialog, ConverterDialog::kOpenId), Qt::LeftButton);
    QCOMPARE(dialog.StatusText(), a);
    QVERIFY(dialog.job().HasRecording());
    QCOMPARE(dialog.job().file_size(), 14180);

    // cancelling after a recording was open closes it
    dialog.OnOpenRecording();
    QCOMPARE(dialog.StatusText(), QString("None Select"));
    QVERIFY(!dialog.job().HasRecording());

    // a file that cannot be opened leaves the text as it was
    dialog.OnOpenRecording();
    QCOMPARE(dialog.StatusText(), QString("None Select"));
    QVERIFY(!dialog.job().HasRecording());

    dialog.OnOpenRecording();
    QCOMPARE(dialog.StatusText(), b);
    QCOMPARE(chooser.calls, 4);

    // a dropped recording is opened like a chosen one
    Drop(dialog, a);
    QCOMPARE(dialog.StatusText(), a);
    QVERIFY(dialog.job().HasRecording());
    QCOMPARE(dialog.job().file_size(), 14180);
  }

  void offersTheRecordingFilters() {
    // the shared filter list in Qt's notation: the recordings, or every file
    QCOMPARE(RecordingFilter(), QString("MPEG Files (*.ms2 *.m4v *.kvr);;All Files (*)"));
  }

  void refusesRecordingsOfTwoGigabytes() {
    QTemporaryDir dir;
    const QString small = MakeFile(dir, "small.kvr", 1418);
    const QString limit = MakeFile(dir, "limit.kvr", (qint64{1} << 31) - 1);
    const QString big = MakeFile(dir, "big.kvr", qint64{1} << 31);
    if (limit.isEmpty() || big.isEmpty()) QSKIP("no sparse files here");
    ConverterDialog dialog;
    ScriptedChooser chooser{{small, big, limit}};
    dialog.SetFileChooser(chooser.Bind());
    dialog.OnOpenRecording();
    QVERIFY(dialog.job().HasRecording());
    dialog.OnOpenRecording();
    QCOMPARE(dialog.StatusText(), QString("Can Not Accept File Than 2GB"));
    QVERIFY(!dialog.job().HasRecording());
    Drop(dialog, big);
    QCOMPARE(dialog.StatusText(), QString("Can Not Accept File Than 2GB"));
    QVERIFY(!dialog.job().HasRecording());
    dialog.OnOpenRecording();  // one byte less is accepted
    QCOMPARE(dialog.StatusText(), limit);
    QCOMPARE(dialog.job().file_size(), (qint64{1} << 31) - 1);
  }

  void commandsAreIgnoredWhileAConversionRuns() {
    QTemporaryDir dir;
    const QString a = CopySample(dir, 1);
    const QString b = MakeFile(dir, "b.kvr", 2836);
    if (a.isEmpty()) QSKIP("the sample recording is missing");
    ConverterDialog dialog;
    ScriptedChooser chooser{{a, b}};
    dialog.SetFileChooser(chooser.Bind());
    dialog.OnOpenRecording();
    const qint64 size = dialog.job().file_size();
    // A worker that holds after the scan's first frame until it is cancelled, and posts nothing.
    dialog.job().hold_point = app::kHoldInScan;
    QVERIFY(dialog.job().StartConversion(nullptr));
    QTest::mouseClick(Button(dialog, ConverterDialog::kOpenId), Qt::LeftButton);
    QTest::mouseClick(Button(dialog, ConverterDialog::kConvertId), Qt::LeftButton);
    Drop(dialog, b);
    QCoreApplication::processEvents();
    QCOMPARE(chooser.calls, 1);
    QCOMPARE(dialog.StatusText(), a);
    QVERIFY(dialog.job().HasRecording());
    QCOMPARE(dialog.job().file_size(), size);
    QVERIFY(!dialog.job().CancelRequested());
    dialog.job().CancelAndWait();
    dialog.job().hold_point = app::kHoldNowhere;
  }

  void enterAndEscapeEndTheDialog() {
    for (const auto& [key, result] :
         {std::pair{Qt::Key_Return, QDialog::Accepted}, std::pair{Qt::Key_Enter, QDialog::Accepted},
          std::pair{Qt::Key_Escape, QDialog::Rejected}}) {
      ConverterDialog dialog;
      dialog.setResult(-1);
      dialog.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dialog, 120000));
      auto* status = dialog.findChild<QLineEdit*>(QString::number(ConverterDialog::kStatusId));
      status->setFocus();
      QTest::keyClick(status, key);
      QCOMPARE(dialog.result(), static_cast<int>(result));
      QVERIFY(!dialog.isVisible());
    }
  }

  void convertsTheSampleThroughTheDialog() {
    QTemporaryDir dir;
    const QString recording = CopySample(dir, 1);
    if (recording.isEmpty()) QSKIP("no sample recording under samples/");
    ConverterDialog dialog;
    ScriptedChooser chooser{{recording}};
    dialog.SetFileChooser(chooser.Bind());
    dialog.show();
    QTest::mouseClick(Button(dialog, ConverterDialog::kOpenId), Qt::LeftButton);
    QTest::mouseClick(Button(dialog, ConverterDialog::kConvertId), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.job().Running(), 300000);
    QCoreApplication::sendPostedEvents(&dialog, ProgressEvent::kType);
    QVERIFY2(dialog.StatusText().startsWith("Done. Average FPS = "),
             qPrintable(dialog.StatusText()));
    const QStringList written = QDir(dir.path()).entryList({"cam_*.avi"}, QDir::Files);
    QVERIFY(!written.isEmpty());
    for (const QString& name : written) {
      QCOMPARE(CheckAviFile(dir.filePath(name)), QString());
    }
    // a second CONVERT of the same recording runs again
    QTest::mouseClick(Button(dialog, ConverterDialog::kConvertId), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.job().Running(), 300000);
    QCoreApplication::sendPostedEvents(&dialog, ProgressEvent::kType);
    QVERIFY(dialog.StatusText().startsWith("Done. Average FPS = "));
  }

  void aStalledWindowGetsOneEventWithTheLastText() {
    // The window thread handles nothing until the worker has ended: one event waits for it.
    QTemporaryDir dir;
    const QString recording = CopySample(dir, 1);
    if (recording.isEmpty()) QSKIP("no sample recording under samples/");
    ConverterDialog dialog;
    ScriptedChooser chooser{{recording}};
    dialog.SetFileChooser(chooser.Bind());
    dialog.OnOpenRecording();
    ProgressCounter counter(&dialog);
    dialog.OnConvert();
    dialog.job().Wait();
    QCoreApplication::sendPostedEvents(&dialog, ProgressEvent::kType);
    QCOMPARE(counter.count, 1);
    QCOMPARE(dialog.StatusText(), QString("Done. Average FPS = 24.59"));
  }

  void closingDuringAConversionWaitsForTheWorker() {
    QTemporaryDir dir;
    const QString recording = CopySample(dir, 1);
    if (recording.isEmpty()) QSKIP("no sample recording under samples/");
    auto dialog = std::make_unique<ConverterDialog>();
    ScriptedChooser chooser{{recording}};
    dialog->SetFileChooser(chooser.Bind());
    dialog->show();
    dialog->OnOpenRecording();
    // The worker holds after the first frame of channel 0's pass until it is cancelled, so the
    // dialog is closed while the conversion runs, whatever the speed of the machine.
    dialog->job().hold_point = 0;
    dialog->OnConvert();
    // Close the dialog (as its close box does) once it shows the first writing step.
    QTRY_VERIFY_WITH_TIMEOUT(dialog->StatusText().startsWith("CH_01."), 300000);
    QVERIFY2(dialog->job().Running(), "the conversion ended before it could be interrupted");
    QVERIFY(dialog->close());
    QVERIFY(!dialog->isVisible());
    dialog.reset();  // cancels and waits for the worker
    // The interrupted file is a complete AVI; no later channel got a file.
    const QStringList written = QDir(dir.path()).entryList({"cam_*"}, QDir::Files | QDir::Hidden);
    QCOMPARE(written, QStringList{"cam_01.avi"});
    QCOMPARE(CheckAviFile(dir.filePath("cam_01.avi")), QString());
  }
};

static Register register_dialog_test([] { return new ConverterDialogTest; });

}  // namespace vexlor::ui::testing

#include "converter_dialog_test.moc"
