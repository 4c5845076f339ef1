#include "ui/skin_button.h"

#include <qdrawutil.h>

#include <QPainter>
#include <QString>

namespace vexlor::ui {

QPixmap LoadBitmapResource(int id) {
  if (id == 0) return QPixmap();
  return QPixmap(QStringLiteral(":/vexlor/bitmap%1.bmp").arg(id));
}

SkinButton::SkinButton(QWidget* parent) : QAbstractButton(parent) {
  // The face is always painted whole by DrawItem: nothing is filled beforehand.
  setAutoFillBackground(false);
}

void SkinButton::SetBitmaps(int normal_id, int pressed_id, int hover_id, int disabled_id,
                            int focus_id, int mask_id, int mode, int edge, int inset) {
  normal_ = pressed_ = hover_ = disabled_ = focus_ = mask_ = QPixmap();
  normal_ = LoadBitmapResource(normal_id);
  pressed_ = LoadBitmapResource(pressed_id);
  hover_ = LoadBitmapResource(hover_id);
  disabled_ = LoadBitmapResource(disabled_id);
  focus_ = LoadBitmapResource(focus_id);
  mask_ = LoadBitmapResource(mask_id);
  draw_mode_ = static_cast<int16_t>(mode);
  draw_edge_ = edge;
  inset_ = static_cast<int16_t>(inset);
  update();
}

QSize SkinButton::sizeHint() const {
  const QPixmap& face = normal_.isNull() ? disabled_ : normal_;
  return face.isNull() ? QSize(75, 23) : face.size();
}

void SkinButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  DrawItem(painter, rect());
}

void SkinButton::DrawItem(QPainter& painter, const QRect& r) {
  const bool disabled = !isEnabled();
  const QPixmap* image = &normal_;
  if (disabled) {
    image = &disabled_;
  } else if (isDown() || isChecked()) {
    image = &pressed_;
  } else if (underMouse()) {
    image = &hover_;
  }
  if (!disabled && image->isNull()) image = &normal_;

  painter.setBackgroundMode(Qt::TransparentMode);
  painter.save();
  painter.setClipRect(r);
  if (image->isNull()) {
    painter.fillRect(r, palette().color(QPalette::Button));
  } else {
    if (draw_mode_ == 0) {
      painter.drawPixmap(r.topLeft(), *image);
    } else {
      painter.drawPixmap(r, *image);
    }
  }
  painter.restore();

  if (draw_edge_ != 0) {
    qDrawWinButton(&painter, r, palette(), isDown(), nullptr);
  }
  if (!text().isEmpty()) {
    QRect caption = r.adjusted(inset_ + 2, 0, -(inset_ + 2), 0);
    const int flags = Qt::AlignCenter | Qt::TextSingleLine;
    if (disabled) {
      painter.setPen(palette().color(QPalette::Highlight));
      painter.drawText(caption, flags, text());
      painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
      painter.drawText(caption.translated(-1, -1), flags, text());
    } else {
      painter.setPen(palette().color(QPalette::ButtonText));
      painter.drawText(caption, flags, text());
    }
  }
}

}  // namespace vexlor::ui
