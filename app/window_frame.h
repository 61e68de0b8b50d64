#pragma once

#include <QAbstractNativeEventFilter>
#include <QMargins>
#include <QObject>
#include <optional>

class QWidget;

// The frame that the window manager draws around a top-level window, as the window manager
// states it (_NET_FRAME_EXTENTS under X11). Qt learns the frame only from the configure event
// after the window manager has framed the window, and a window whose size the manager keeps
// (one held at its minimum) may get that event before the frame is stated: Qt's frame geometry
// then stays wrong, by the title bar, for as long as the window is not moved.
class WindowFrame : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT

 public:
  // Watches window, a top-level widget that outlives this object. Does nothing on a platform
  // other than X11.
  explicit WindowFrame(QWidget* window);
  ~WindowFrame() override;

  // Starts watching once the window has its native window; reads the frame stated so far.
  void Watch();
  // Whether the frame comes from the window manager: under X11, once watching.
  bool Watching() const { return x11_ != nullptr; }
  // The frame's widths, once the window manager has stated them.
  std::optional<QMargins> Margins() const { return margins_; }

 signals:
  // The window manager stated the frame, or stated a new one.
  void Changed();

 protected:
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  void Read();

  QWidget* window_;
  struct X11;
  X11* x11_ = nullptr;  // null off X11, and until Watch
  std::optional<QMargins> margins_;
};
