#include "ui/skin_button.h"

#include <QtTest>

#include "ui/converter_dialog.h"
#include "ui_test_support.h"

namespace vexlor::ui::testing {

class SkinButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void convertsDialogUnitsLikeTheDialogManager() {
    // a 6 x 12 font puts the 263 x 130 template at 395 x 195 pixels (394.5 and 195.0)
    QCOMPARE(DialogUnitsToPixels({6, 12}, 0, 0, 263, 130), QRect(0, 0, 395, 195));
    QCOMPARE(DialogUnitsToPixels({7, 14}, 36, 16, 191, 15), QRect(63, 28, 334, 26));
    QCOMPARE(DialogUnitsToPixels({7, 14}, 0, 0, 263, 130).size(), QSize(460, 228));
  }

  void paintsBitmap129UnscaledAtTheOrigin() {
    const QImage picture = LoadBitmapResource(129).toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(picture.size(), QSize(400, 200));

    ConverterDialog dialog;
    int chooser_calls = 0;
    dialog.SetFileChooser([&](QWidget*) {
      ++chooser_calls;
      return QString();
    });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, 120000));
    auto* background = dialog.findChild<SkinButton*>("1006");
    QVERIFY(background);
    QCOMPARE(background->geometry(), QRect(0, 0, 400, 200));
    QCOMPARE(background->focusPolicy(), Qt::NoFocus);

    // clicking the picture does nothing
    QTest::mouseClick(&dialog, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(&dialog, Qt::LeftButton, {}, QPoint(390, 190));
    QCOMPARE(chooser_calls, 0);
    QCOMPARE(dialog.StatusText(), QString("None Select"));

    const QImage shot = dialog.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect visible = QRect(0, 0, 400, 200) & dialog.rect();
    QRegion uncovered(visible);
    for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (child != background && child->isVisible()) uncovered -= child->geometry();
    }
    int compared = 0;
    for (const QRect& r : uncovered) {
      for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
          if (shot.pixel(x, y) != picture.pixel(x, y)) {
            QFAIL(qPrintable(QString("pixel %1,%2 differs from the picture").arg(x).arg(y)));
          }
          ++compared;
        }
      }
    }
    QVERIFY(compared > visible.width() * visible.height() / 2);

    // the commands and the status line are drawn over the picture, not hidden by it
    for (const char* id : {"1000", "1001", "1002"}) {
      const QRect r = dialog.findChild<QWidget*>(id)->geometry() & visible;
      int same = 0;
      for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) same += shot.pixel(x, y) == picture.pixel(x, y);
      }
      QVERIFY2(same < r.width() * r.height() / 2, id);
    }
  }
};

static Register register_skin_test([] { return new SkinButtonTest; });

}  // namespace vexlor::ui::testing

#include "skin_button_test.moc"
