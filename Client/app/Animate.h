// The animation control of the status window: plays one of the five looping clips, drawn here.
#pragma once
#include <QString>
#include <QTimer>
#include <QWidget>

namespace kovrax {

// Names of the clips, as the notifications ask for them.
inline constexpr const char* kClipListening = "IDR_KOVRALISTENING";
inline constexpr const char* kClipConnecting = "IDR_KOVRACONNECTING";
inline constexpr const char* kClipConnected = "IDR_KOVRACONNECTED";
inline constexpr const char* kClipOk = "IDR_KOVRAOK";
inline constexpr const char* kClipError = "IDR_KOVRAERROR";

class TAnimate : public QWidget {
  Q_OBJECT
 public:
  explicit TAnimate(QWidget* parent);
  // Loads the clip of that name (an unknown name shows an empty control) and rewinds it.
  void Open(const QString& name);
  void SetActive(bool active);
  bool Active() const { return timer_.isActive(); }
  const QString& FileName() const { return name_; }
  int Frame() const { return frame_; }
  // One frame of a clip, for the control and for anyone who wants a still of it.
  static void DrawFrame(QPainter& p, const QString& clip, int frame, QSize size);
  static int FrameCount(const QString& clip);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QString name_;
  int frame_ = 0;
  QTimer timer_;
};

}  // namespace kovrax
