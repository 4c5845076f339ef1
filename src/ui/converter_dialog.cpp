#include "ui/converter_dialog.h"

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>

#include "ui/skin_button.h"

// Resources are compiled into the static library; their registration has to be pulled in
// by name, from outside any namespace.
static void InitVexlorResources() {
  Q_INIT_RESOURCE(vexlor);
}

namespace vexlor::ui {
namespace {

const char kDialogFontFamily[] = "新細明體";
constexpr int kDialogFontPoints = 9;
// Template size in dialog units.
constexpr int kTemplateWidth = 263;
constexpr int kTemplateHeight = 130;

// a * b / c rounded half away from zero, for the non-negative values of a dialog template.
int MulDiv(int a, int b, int c) {
  return static_cast<int>((2LL * a * b + c) / (2LL * c));
}

// Status texts and paths are UTF-8; so are file names for Qt 6 on Unix (QFile::encodeName).
QString ToQString(const std::string& s) {
  return QString::fromStdString(s);
}

// The local file a drag carries, or an empty string.
QString DroppedFile(const QMimeData* mime) {
  if (mime == nullptr || !mime->hasUrls()) return QString();
  const QList<QUrl> urls = mime->urls();
  if (urls.isEmpty() || !urls.first().isLocalFile()) return QString();
  return urls.first().toLocalFile();
}

}  // namespace

QString RecordingFilter() {
  QStringList filters;
  for (const app::FileFilter& f : app::kRecordingFilters) {
    QString label = QString::fromUtf8(f.label);
    label.truncate(label.indexOf(QLatin1Char('(')));
    QStringList patterns = QString::fromUtf8(f.patterns).split(QLatin1Char(';'));
    patterns.replaceInStrings(QStringLiteral("*.*"), QStringLiteral("*"));
    filters << label + QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return filters.join(QStringLiteral(";;"));
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int pair = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return DialogBaseUnits{(pair / 26 + 1) / 2, metrics.height()};
}

QRect DialogUnitsToPixels(const DialogBaseUnits& base, int x, int y, int width, int height) {
  return QRect(MulDiv(x, base.cx, 4), MulDiv(y, base.cy, 8), MulDiv(width, base.cx, 4),
               MulDiv(height, base.cy, 8));
}

QFont DialogFont() {
  const QString family = QString::fromUtf8(kDialogFontFamily);
  if (QFontDatabase::hasFamily(family)) return QFont(family, kDialogFontPoints);
  QFont fallback = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  fallback.setPointSize(kDialogFontPoints);
  return fallback;
}

ConverterDialog::ConverterDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  InitVexlorResources();
  icon_.addFile(QStringLiteral(":/vexlor/icon128_32.png"), QSize(32, 32));
  icon_.addFile(QStringLiteral(":/vexlor/icon128_16.png"), QSize(16, 16));
  chooser_ = &ConverterDialog::ChooseRecording;

  setWindowTitle(QStringLiteral("Vexlor"));
  const QFont font = DialogFont();
  setFont(font);
  const DialogBaseUnits base = BaseUnitsOf(font);
  const QRect client = DialogUnitsToPixels(base, 0, 0, kTemplateWidth, kTemplateHeight);
  setFixedSize(client.size());

  auto place = [&](QWidget* w, int id, int x, int y, int width, int height) {
    w->setObjectName(QString::number(id));
    w->setGeometry(DialogUnitsToPixels(base, x, y, width, height));
  };
  // Controls in template order, which is also the tab order.
  ok_ = new QPushButton(QString::fromUtf8("確定"), this);
  place(ok_, kOkId, 213, 100, 50, 14);
  ok_->setDefault(true);
  ok_->hide();
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  cancel_ = new QPushButton(QString::fromUtf8("取消"), this);
  place(cancel_, kCancelId, 213, 116, 50, 14);
  cancel_->setAutoDefault(false);
  cancel_->hide();
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

  background_ = new SkinButton(this);
  place(background_, kBackgroundId, 0, 101, 39, 29);
  background_->setEnabled(false);
  background_->setFocusPolicy(Qt::NoFocus);
  background_->setAttribute(Qt::WA_TransparentForMouseEvents);

  open_ = new QPushButton(QStringLiteral("OPEN KVR"), this);
  place(open_, kOpenId, 92, 50, 78, 20);
  connect(open_, &QPushButton::clicked, this, &ConverterDialog::OnOpenRecording);

  convert_ = new QPushButton(QStringLiteral("CONVERT"), this);
  place(convert_, kConvertId, 92, 86, 78, 20);
  connect(convert_, &QPushButton::clicked, this, &ConverterDialog::OnConvert);

  status_ = new QLineEdit(this);
  place(status_, kStatusId, 36, 16, 191, 15);
  status_->setReadOnly(true);
  status_->setAlignment(Qt::AlignCenter);
  status_->setText(ToQString(controller_.status_text()));

  // Initialisation: icons, then the background picture over the top-left 400 x 200 pixels,
  // beneath every other control.
  setWindowIcon(icon_);
  background_->SetBitmaps(kBackgroundBitmap, kBackgroundBitmap, kBackgroundBitmap,
                          kBackgroundBitmap, 0, 0, 0, 0, 0);
  background_->setGeometry(0, 0, 400, 200);
  background_->lower();
  background_->show();

  setAcceptDrops(true);
}

ConverterDialog::~ConverterDialog() {
  // The worker uses the job's buffers, decoders and recording, and posts to this window,
  // until it ends: it must be gone before any of them is released.
  controller_.OnClose();
}

QString ConverterDialog::ChooseRecording(QWidget* parent) {
  return QFileDialog::getOpenFileName(parent, QString(), QString(), RecordingFilter());
}

QString ConverterDialog::StatusText() const {
  return status_->text();
}

void ConverterDialog::ShowStatus(const std::string& text) {
  status_->setText(ToQString(text));
}

std::string ConverterDialog::AskForRecording() {
  const QString chosen = chooser_ ? chooser_(this) : QString();
  return QFile::encodeName(chosen).toStdString();
}

bool ConverterDialog::PostToWindow(int kind, int value) {
  QCoreApplication::postEvent(this,
                              new ProgressEvent(kind, value));  // Qt's queue takes every event
  return true;
}

void ConverterDialog::customEvent(QEvent* event) {
  if (event->type() == ProgressEvent::kType) {
    const auto* progress = static_cast<ProgressEvent*>(event);
    controller_.OnProgress(progress->kind, progress->value);
    return;
  }
  QDialog::customEvent(event);
}

void ConverterDialog::keyPressEvent(QKeyEvent* event) {
  // Enter and Escape end the dialog through its hidden default and cancel buttons, which
  // the stock dialog would skip because they are not visible.
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  if (mods == Qt::NoModifier) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      ok_->click();
      return;
    }
    if (event->key() == Qt::Key_Escape) {
      cancel_->click();
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

void ConverterDialog::dragEnterEvent(QDragEnterEvent* event) {
  if (controller_.AcceptsDrop() && !DroppedFile(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  }
}

void ConverterDialog::dropEvent(QDropEvent* event) {
  const QString path = DroppedFile(event->mimeData());
  if (!controller_.AcceptsDrop() || path.isEmpty()) return;
  event->acceptProposedAction();
  controller_.OnDrop(QFile::encodeName(path).toStdString());
}

}  // namespace vexlor::ui
