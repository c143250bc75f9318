#include "Animate.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace kovrax {
namespace {

constexpr int kFrameMs = 110;
const QColor kBlue(0x2f, 0x6f, 0xb5);
const QColor kDarkBlue(0x14, 0x3f, 0x73);
const QColor kGreen(0x1f, 0x9d, 0x3a);
const QColor kRed(0xd0, 0x21, 0x21);
const QColor kGrey(0x80, 0x80, 0x80);

void DrawComputer(QPainter& p, int x, int y) {
  p.setPen(QPen(kDarkBlue, 1));
  p.setBrush(QColor(0xe8, 0xf0, 0xfa));
  p.drawRoundedRect(QRectF(x + 0.5, y + 0.5, 20, 14), 2, 2);
  p.setBrush(kBlue);
  p.drawRect(QRectF(x + 3.5, y + 3.5, 14, 8));
  p.setBrush(kDarkBlue);
  p.drawRect(QRectF(x + 8.5, y + 15.5, 4, 2));
  p.drawRect(QRectF(x + 4.5, y + 17.5, 12, 2));
}

void DrawServer(QPainter& p, int x, int y) {
  p.setPen(QPen(kDarkBlue, 1));
  for (int i = 0; i < 3; ++i) {
    p.setBrush(QColor(0xd9, 0xe3, 0xef));
    p.drawRect(QRectF(x + 0.5, y + 0.5 + i * 7, 18, 6));
    p.setBrush(kGreen);
    p.drawEllipse(QPointF(x + 15, y + 3.5 + i * 7), 1.3, 1.3);
  }
}

void DrawLock(QPainter& p, QPointF c) {
  p.setPen(QPen(kDarkBlue, 1.5));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(c.x() - 3.5, c.y() - 8, 7, 8), 0, 180 * 16);
  p.drawLine(QPointF(c.x() - 3.5, c.y() - 4), QPointF(c.x() - 3.5, c.y() - 2));
  p.drawLine(QPointF(c.x() + 3.5, c.y() - 4), QPointF(c.x() + 3.5, c.y() - 2));
  p.setPen(QPen(kDarkBlue, 1));
  p.setBrush(QColor(0xff, 0xd2, 0x3f));
  p.drawRoundedRect(QRectF(c.x() - 5, c.y() - 2, 10, 8), 1.5, 1.5);
}

void Listening(QPainter& p, int f, QSize s) {
  const int y = (s.height() - 20) / 2;
  DrawComputer(p, 14, y);
  // Waves going out of the computer: it waits for the browser.
  const QPointF c(36, s.height() / 2.0);
  for (int i = 0; i < 3; ++i) {
    const int phase = (f + 8 - i * 2) % 8;
    const int alpha = phase < 6 ? 255 - phase * 40 : 20;
    p.setPen(QPen(QColor(kBlue.red(), kBlue.green(), kBlue.blue(), alpha), 2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    const double r = 5 + i * 6;
    p.drawArc(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), -50 * 16, 100 * 16);
  }
}

void Connecting(QPainter& p, int f, QSize s) {
  const int y = (s.height() - 20) / 2;
  DrawComputer(p, 2, y);
  DrawServer(p, 61, y);
  const double cy = s.height() / 2.0;
  p.setPen(QPen(kGrey, 1, Qt::DotLine));
  p.drawLine(QPointF(24, cy), QPointF(58, cy));
  p.setPen(Qt::NoPen);
  for (int i = 0; i < 3; ++i) {
    const double x = 25 + std::fmod(f * 3.0 + i * 11.0, 33.0);
    p.setBrush(kBlue);
    p.drawEllipse(QPointF(x, cy), 2.2, 2.2);
  }
}

void Connected(QPainter& p, int f, QSize s) {
  const int y = (s.height() - 20) / 2;
  DrawComputer(p, 2, y);
  DrawServer(p, 61, y);
  const double cy = s.height() / 2.0;
  p.setPen(QPen(kGreen, 2));
  p.drawLine(QPointF(24, cy), QPointF(58, cy));
  // Data going back and forth under the lock.
  p.setPen(Qt::NoPen);
  p.setBrush(kDarkBlue);
  const double t = std::fmod(f * 3.0, 33.0);
  p.drawEllipse(QPointF(25 + t, cy + 4.5), 1.6, 1.6);
  p.drawEllipse(QPointF(58 - t, cy - 4.5), 1.6, 1.6);
  DrawLock(p, QPointF(41, cy - 1));
}

void Ok(QPainter& p, int f, QSize s) {
  const QPointF c(s.width() / 2.0, s.height() / 2.0);
  const double ring = 12 + (f % 8) * 0.9;
  p.setPen(QPen(QColor(kGreen.red(), kGreen.green(), kGreen.blue(), 200 - (f % 8) * 25), 1.5));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(c, ring, ring);
  p.setPen(Qt::NoPen);
  p.setBrush(kGreen);
  p.drawEllipse(c, 11, 11);
  p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  QPainterPath tick;
  tick.moveTo(c + QPointF(-5.5, 0.5));
  tick.lineTo(c + QPointF(-1.5, 4.5));
  tick.lineTo(c + QPointF(5.5, -4));
  p.setBrush(Qt::NoBrush);
  p.drawPath(tick);
}

void Error(QPainter& p, int f, QSize s) {
  const QPointF c(s.width() / 2.0, s.height() / 2.0);
  const bool dim = (f % 8) >= 6;
  p.setPen(Qt::NoPen);
  p.setBrush(dim ? QColor(0xe8, 0x9a, 0x9a) : kRed);
  p.drawEllipse(c, 11, 11);
  p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(c + QPointF(-4.5, -4.5), c + QPointF(4.5, 4.5));
  p.drawLine(c + QPointF(4.5, -4.5), c + QPointF(-4.5, 4.5));
}

}  // namespace

TAnimate::TAnimate(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    const int n = FrameCount(name_);
    frame_ = n > 0 ? (frame_ + 1) % n : 0;
    update();
  });
}

void TAnimate::Open(const QString& name) {
  name_ = name;
  frame_ = 0;
  update();
}

void TAnimate::SetActive(bool active) {
  if (active) {
    if (!timer_.isActive()) timer_.start();
  } else {
    timer_.stop();
  }
}

int TAnimate::FrameCount(const QString& clip) {
  if (clip == kClipListening || clip == kClipOk || clip == kClipError) return 8;
  if (clip == kClipConnecting || clip == kClipConnected) return 11;
  return 0;
}

void TAnimate::DrawFrame(QPainter& p, const QString& clip, int frame, QSize size) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  if (clip == kClipListening) Listening(p, frame, size);
  else if (clip == kClipConnecting) Connecting(p, frame, size);
  else if (clip == kClipConnected) Connected(p, frame, size);
  else if (clip == kClipOk) Ok(p, frame, size);
  else if (clip == kClipError) Error(p, frame, size);
  p.restore();
}

void TAnimate::paintEvent(QPaintEvent*) {
  QPainter p(this);
  DrawFrame(p, name_, frame_, size());
}

}  // namespace kovrax
