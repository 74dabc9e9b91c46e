#include "app/QtProgramIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace quellmarin {

QPixmap ProgramPixmap(int Size) {
  QPixmap Pixmap(Size, Size);
  Pixmap.fill(Qt::transparent);
  QPainter p(&Pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  // Drawn on a 64 x 64 grid, as the SVG is.
  p.scale(Size / 64.0, Size / 64.0);

  QLinearGradient Back(0, 0, 0, 64);
  Back.setColorAt(0, QColor(0x12, 0x3a, 0x5c));
  Back.setColorAt(1, QColor(0x0a, 0x1f, 0x33));
  p.setPen(Qt::NoPen);
  p.setBrush(Back);
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);

  // Seven bars; their heights follow a spectrum with a peak at the second.
  static const double Heights[] = {30, 40, 34, 26, 16, 10, 6};
  p.setBrush(QColor(0x3f, 0xc1, 0xc9));
  for (int i = 0; i < 7; ++i) p.drawRect(QRectF(9 + i * 7, 54 - Heights[i], 5, Heights[i]));

  // The filter response: flat, then falling past the cut-off.
  QPainterPath Curve;
  Curve.moveTo(7, 16);
  Curve.lineTo(28, 16);
  Curve.cubicTo(38, 16, 42, 48, 57, 50);
  p.setPen(QPen(QColor(0xff, 0x9f, 0x1c), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(Curve);
  return Pixmap;
}

QIcon ProgramIcon() {
  QIcon Icon;
  for (int Size : {16, 24, 32, 48, 64, 128, 256}) Icon.addPixmap(ProgramPixmap(Size));
  return Icon;
}

}  // namespace quellmarin
