#include "app/window_frame.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <cstring>
#include <memory>

struct WindowFrame::X11 {
  xcb_connection_t* connection;
  xcb_window_t window;
  xcb_atom_t frameExtents;
};

WindowFrame::WindowFrame(QWidget* window) : QObject(window), window_(window) {}

WindowFrame::~WindowFrame() {
  if (x11_ != nullptr) QCoreApplication::instance()->removeNativeEventFilter(this);
  delete x11_;
}

void WindowFrame::Watch() {
  if (x11_ != nullptr) return;
  auto* application = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (application == nullptr || application->connection() == nullptr) return;
  xcb_connection_t* connection = application->connection();
  const char name[] = "_NET_FRAME_EXTENTS";
  const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
      xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr),
      &std::free);
  if (!atom) return;
  x11_ = new X11{connection, static_cast<xcb_window_t>(window_->winId()), atom->atom};
  // The filter first, then the read: a frame stated in between is read twice, never missed.
  QCoreApplication::instance()->installNativeEventFilter(this);
  Read();
}

bool WindowFrame::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
  const auto* notify = static_cast<const xcb_property_notify_event_t*>(message);
  if (notify->window == x11_->window && notify->atom == x11_->frameExtents) Read();
  // Qt handles the event as before.
  return false;
}

void WindowFrame::Read() {
  const std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(
          x11_->connection,
          xcb_get_property(x11_->connection, 0, x11_->window, x11_->frameExtents, XCB_ATOM_CARDINAL, 0, 4),
          nullptr),
      &std::free);
  // left, right, top, bottom; a frame taken away (the window withdrawn) keeps the last one known.
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 16) return;
  const auto* widths = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  const QMargins margins(static_cast<int>(widths[0]), static_cast<int>(widths[2]),
                         static_cast<int>(widths[1]), static_cast<int>(widths[3]));
  if (margins_ == margins) return;
  margins_ = margins;
  emit Changed();
}
