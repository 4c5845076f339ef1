// The converter dialog: one status line and two commands over the background picture.
#pragma once

#include <QDialog>
#include <QEvent>
#include <QFont>
#include <QIcon>
#include <QRect>
#include <QString>
#include <functional>

#include "app/dialog_controller.h"

class QLineEdit;
class QPushButton;

namespace vexlor::ui {

class SkinButton;

// Posted by the conversion worker, at most one on its way at a time: it shows the latest step
// (app::DialogController). The worker never waits for the window.
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
// The open-file dialog's filters (app::kRecordingFilters) in Qt's notation: patterns separated
// by spaces, and Windows' "*.*" (every file) as "*".
QString RecordingFilter();
// The dialog's font: "新細明體" at 9 points, or the system font at 9 points where it is missing.
QFont DialogFont();

// A thin view over the shared dialog logic (app::DialogController): it lays out the controls,
// turns clicks, drops and posted events into the controller's commands, and shows its texts.
class ConverterDialog : public QDialog, private app::DialogView {
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

  app::ConversionJob& job() { return controller_.job(); }
  QString StatusText() const;
  const QIcon& icon() const { return icon_; }

  void OnOpenRecording() { controller_.OnOpenRecording(); }  // OPEN KVR
  void OnConvert() { controller_.OnConvert(); }              // CONVERT

 protected:
  void customEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // app::DialogView
  void ShowStatus(const std::string& text) override;
  std::string AskForRecording() override;
  bool PostToWindow(int kind, int value) override;  // called on the worker thread

  FileChooser chooser_;
  QIcon icon_;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  SkinButton* background_ = nullptr;
  QPushButton* open_ = nullptr;
  QPushButton* convert_ = nullptr;
  QLineEdit* status_ = nullptr;
  // Last: destroyed first, so a running worker has ended before the controls go.
  app::DialogController controller_{this};
};

}  // namespace vexlor::ui
