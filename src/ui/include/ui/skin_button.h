// A push button that paints itself from bitmaps instead of the style's button face.
#pragma once

#include <QAbstractButton>
#include <QPixmap>
#include <cstdint>

namespace vexlor::ui {

// Loads bitmap resource `id` (bitmapNNN.bmp in the program's resources); a null pixmap
// for 0 or an unknown number.
QPixmap LoadBitmapResource(int id);

// The dialog has one instance, disabled, that shows the background picture: it never takes
// input or focus and never fills its own background before painting the picture.
class SkinButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit SkinButton(QWidget* parent = nullptr);

  // Bitmap resource numbers (0: none) for the states, a focus image and a mask (kept, not
  // painted: the dialog's button needs neither), and the
  // options: mode 0 paints an image at its natural size at the top-left corner (any other
  // mode stretches it over the face), a non-zero edge draws a raised edge round the face,
  // inset narrows the caption rectangle. Images loaded earlier are released first.
  void SetBitmaps(int normal_id, int pressed_id, int hover_id, int disabled_id, int focus_id,
                  int mask_id, int mode, int edge, int inset);

  const QPixmap& disabled_image() const { return disabled_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void DrawItem(QPainter& painter, const QRect& r);

  QPixmap normal_, pressed_, hover_, disabled_;
  QPixmap focus_, mask_;
  int16_t draw_mode_ = 1;
  int32_t draw_edge_ = 0;
  int16_t inset_ = 0;
};

}  // namespace vexlor::ui
