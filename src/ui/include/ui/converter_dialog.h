// The converter dialog: one status line and two commands over the background picture.
#pragma once

#include <QDialog>
#include <QEvent>
#include <QFont>
#include <QIcon>
#include <QRect>
#include <QString>
#include <functional>

#include "app/conversion_job.h"

class QLineEdit;
class QPushButton;

namespace vexlor::ui {

class SkinButton;

// Posted by the conversion worker, one per step; the worker never waits for the window.
class ProgressEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 1);
  ProgressEvent(int kind_, int value_) : QEvent(kType), kind(kind_), value(value_) {}
  const int kind;
  const int value;
};

// Average character width and character height of a dialog font, from which dialog units
// are turned into pixels: x units * cx / 4, y units * cy / 8, rounded to the nearest pixel.
struct DialogBaseUnits {
  int cx = 0;
  int cy = 0;
};
DialogBaseUnits BaseUnitsOf(const QFont& font);
QRect DialogUnitsToPixels(const DialogBaseUnits& base, int x, int y, int width, int height);
// The dialog's font: "新細明體" at 9 points, or the system font at 9 points where it is missing.
QFont DialogFont();

class ConverterDialog : public QDialog, private app::ProgressSink {
  Q_OBJECT

 public:
  // Shows the open-file dialog and returns the chosen path, or an empty string when the
  // user cancels. Replaceable so that the dialog can be driven without a user.
  using FileChooser = std::function<QString(QWidget* parent)>;

  static constexpr int kOkId = 1;
  static constexpr int kCancelId = 2;
  static constexpr int kOpenId = 1000;
  static constexpr int kConvertId = 1001;
  static constexpr int kStatusId = 1002;
  static constexpr int kBackgroundId = 1006;
  static constexpr int kBackgroundBitmap = 129;

  explicit ConverterDialog(QWidget* parent = nullptr);
  // Raises the cancel flag and waits for a running worker before the job is released.
  ~ConverterDialog() override;

  void SetFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }
  static QString ChooseRecording(QWidget* parent);

  app::ConversionJob& job() { return job_; }
  QString StatusText() const;
  const QIcon& icon() const { return icon_; }

  void OnOpenRecording();  // OPEN KVR
  void OnConvert();        // CONVERT

 protected:
  void customEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void PostProgress(app::ProgressKind kind, int value) override;  // on the worker thread
  void OnProgress(int kind, int value);
  void OpenChosen(const QString& path);
  void SetStatus(const QString& text);

  app::ConversionJob job_;
  FileChooser chooser_;
  QIcon icon_;
  QString status_text_;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  SkinButton* background_ = nullptr;
  QPushButton* open_ = nullptr;
  QPushButton* convert_ = nullptr;
  QLineEdit* status_ = nullptr;
};

}  // namespace vexlor::ui
