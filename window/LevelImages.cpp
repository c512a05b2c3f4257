#include "window/LevelImages.h"

#include <QPainter>
#include <QPainterPath>
#include <functional>

int LevelImageIndex(int Level, int User) {
  int index = 0;
  switch (Level) {
    case 1: index = 2; break;
    case 2: index = 3; break;
    case 4: index = 4; break;
    case 8: index = 5; break;
    case 16: index = 6; break;
    case 32: index = 7; break;
    case 64: index = 8; break;
    case 128: index = 18; break;
    case 0xFFFF: index = 1; break;
    default: index = 0; break;
  }
  if (Level != 0xFFFF && User != 0) index += 9;
  return index;
}

namespace {

using Painter = std::function<void(QPainter&)>;

QPixmap draw(const Painter& paint) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  paint(p);
  return pm;
}

// The pictures, each within a 16 x 16 box whose origin the caller may move and scale.
void lifeBuoy(QPainter& p) {
  p.setPen(QPen(QColor(120, 0, 0), 0.8));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(220, 30, 30));
  for (int q = 0; q < 4; ++q) p.drawPie(QRectF(1.5, 1.5, 13, 13), (q * 90 + 22) * 16, 45 * 16);
  p.setBrush(Qt::white);
  p.setPen(QPen(QColor(120, 0, 0), 0.8));
  p.drawEllipse(QRectF(5, 5, 6, 6));
}

void bomb(QPainter& p) {
  p.setPen(Qt::NoPen);
  QRadialGradient g(QPointF(6, 8), 7);
  g.setColorAt(0, QColor(110, 110, 110));
  g.setColorAt(1, Qt::black);
  p.setBrush(g);
  p.drawEllipse(QRectF(1, 4, 11, 11));
  p.setBrush(QColor(60, 60, 60));
  p.drawRect(QRectF(8.5, 3, 3, 3));
  p.setPen(QPen(QColor(150, 100, 40), 1.2));
  p.drawLine(QPointF(10, 3), QPointF(12.5, 1));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 200, 0));
  p.drawEllipse(QPointF(13.5, 1.5), 1.8, 1.8);
}

void redCross(QPainter& p) {
  p.setPen(QPen(QColor(140, 0, 0), 0.8));
  p.setBrush(QColor(220, 20, 20));
  p.drawEllipse(QRectF(1, 1, 14, 14));
  p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(5, 5), QPointF(11, 11));
  p.drawLine(QPointF(11, 5), QPointF(5, 11));
}

void warning(QPainter& p) {
  QPainterPath t;
  t.moveTo(8, 1);
  t.lineTo(15, 14.5);
  t.lineTo(1, 14.5);
  t.closeSubpath();
  p.setPen(QPen(QColor(120, 90, 0), 0.9));
  p.setBrush(QColor(255, 210, 0));
  p.drawPath(t);
  p.setPen(QPen(Qt::black, 1.8, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(8, 5.5), QPointF(8, 9.5));
  p.drawPoint(QPointF(8, 12.3));
}

void infoDisc(QPainter& p) {
  p.setPen(QPen(QColor(0, 40, 120), 0.8));
  p.setBrush(QColor(30, 90, 210));
  p.drawEllipse(QRectF(1, 1, 14, 14));
  p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(8, 7), QPointF(8, 12));
  p.drawPoint(QPointF(8, 4.3));
}

void speechBubble(QPainter& p) {
  QPainterPath b;
  b.addRoundedRect(QRectF(1, 1, 14, 10), 3, 3);
  QPainterPath tail;
  tail.moveTo(4, 10);
  tail.lineTo(3.5, 15);
  tail.lineTo(8, 10);
  b = b.united(tail);
  p.setPen(QPen(QColor(70, 70, 70), 0.9));
  p.setBrush(Qt::white);
  p.drawPath(b);
  p.setPen(QPen(QColor(30, 90, 210), 1.8, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(8, 5), QPointF(8, 9));
  p.drawPoint(QPointF(8, 2.9));
}

void wrench(QPainter& p) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(120, 125, 135));
  p.save();
  p.translate(8, 8);
  p.rotate(45);
  p.drawRoundedRect(QRectF(-1.6, -1, 3.2, 8.5), 1, 1);
  QPainterPath head;
  head.addEllipse(QPointF(0, -3.5), 3.6, 3.6);
  QPainterPath jaw;
  jaw.addRect(QRectF(-1.3, -8, 2.6, 4.5));
  p.drawPath(head.subtracted(jaw));
  p.restore();
}

void arrow(QPainter& p, bool right) {
  QPainterPath a;
  a.moveTo(1, 6);
  a.lineTo(8, 6);
  a.lineTo(8, 2);
  a.lineTo(15, 8);
  a.lineTo(8, 14);
  a.lineTo(8, 10);
  a.lineTo(1, 10);
  a.closeSubpath();
  if (!right) {
    p.translate(16, 0);
    p.scale(-1, 1);
  }
  p.setPen(QPen(QColor(0, 90, 0), 0.8));
  p.setBrush(QColor(40, 170, 60));
  p.drawPath(a);
}

void person(QPainter& p) {
  p.setPen(QPen(QColor(40, 40, 90), 0.7));
  p.setBrush(QColor(240, 200, 160));
  p.drawEllipse(QRectF(2, 1, 5, 5));
  p.setBrush(QColor(60, 80, 170));
  QPainterPath body;
  body.addRoundedRect(QRectF(0.5, 6.5, 8, 9), 3, 3);
  p.drawPath(body);
}

// A person on the left with a smaller picture over its lower right.
QPixmap withPerson(const std::function<void(QPainter&)>& picture) {
  return draw([&](QPainter& p) {
    person(p);
    p.save();
    p.translate(5.5, 5.5);
    p.scale(0.65, 0.65);
    picture(p);
    p.restore();
  });
}

void spark(QPainter& p) {
  QPainterPath s;
  const QPointF c(8, 8);
  for (int i = 0; i < 16; ++i) {
    const double r = i % 2 ? 2.2 : 6.5;
    const double a = i * 3.14159265 / 8;
    const QPointF pt(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
    if (i == 0)
      s.moveTo(pt);
    else
      s.lineTo(pt);
  }
  s.closeSubpath();
  p.setPen(QPen(QColor(200, 140, 0), 0.7));
  p.setBrush(QColor(255, 230, 40));
  p.drawPath(s);
}

void flag(QPainter& p) {
  p.setPen(QPen(QColor(70, 50, 30), 1.4));
  p.drawLine(QPointF(3, 1), QPointF(3, 15));
  QPainterPath f;
  f.moveTo(3.7, 1.5);
  f.cubicTo(7, 0, 9, 4, 14, 2.5);
  f.lineTo(14, 9);
  f.cubicTo(9, 10.5, 7, 6.5, 3.7, 8);
  f.closeSubpath();
  p.setPen(QPen(QColor(130, 0, 0), 0.7));
  p.setBrush(QColor(225, 25, 25));
  p.drawPath(f);
}

void pin(QPainter& p) {
  p.setPen(QPen(QColor(90, 90, 90), 1.3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(7, 9), QPointF(3, 15));
  p.setPen(QPen(QColor(120, 0, 0), 0.7));
  QRadialGradient g(QPointF(8.5, 4.5), 6);
  g.setColorAt(0, QColor(255, 120, 120));
  g.setColorAt(1, QColor(200, 0, 0));
  p.setBrush(g);
  p.drawEllipse(QRectF(5, 1, 9, 9));
}

}  // namespace

std::vector<QPixmap> DrawLevelImages() {
  std::vector<QPixmap> l;
  l.push_back(draw(lifeBuoy));                              // 0
  l.push_back(draw(bomb));                                  // 1
  l.push_back(draw(redCross));                              // 2
  l.push_back(draw(warning));                               // 3
  l.push_back(draw(infoDisc));                              // 4
  l.push_back(draw(speechBubble));                          // 5
  l.push_back(draw(wrench));                                // 6
  l.push_back(draw([](QPainter& p) { arrow(p, true); }));   // 7
  l.push_back(draw([](QPainter& p) { arrow(p, false); }));  // 8
  l.push_back(withPerson(lifeBuoy));                        // 9
  l.push_back(withPerson(bomb));                            // 10
  l.push_back(withPerson(redCross));                        // 11
  l.push_back(withPerson(warning));                         // 12
  l.push_back(withPerson(infoDisc));                        // 13
  l.push_back(withPerson(wrench));                          // 14
  l.push_back(withPerson(speechBubble));                    // 15
  l.push_back(draw([](QPainter& p) {                        // 16
    p.translate(3, 3);
    p.scale(0.65, 0.65);
    spark(p);
  }));
  l.push_back(l.back());    // 17: the same small spark
  l.push_back(draw(flag));  // 18
  l.push_back(draw(pin));   // 19
  return l;
}
