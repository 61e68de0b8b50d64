#pragma once

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <deque>
#include <functional>

#include "gtest/gtest.h"
#include "tests/support/book_text.h"

// A folder standing for the executable's folder: fls/ links to the real schema and genre list,
// setting.ini and tmp/ are the window's own.
class TempApp {
 public:
  explicit TempApp(bool withSchema = true) {
    EXPECT_TRUE(dir_.isValid());
    if (withSchema) {
      EXPECT_TRUE(QFile::link(QStringLiteral(SHELVIO_FLS_DIR), dir_.filePath("fls")));
    }
  }
  // The app path with its trailing "/".
  QString Path() const { return dir_.path() + u'/'; }
  QString SettingsPath() const { return Path() + QStringLiteral("setting.ini"); }
  void WriteSettings(const QByteArray& text) const { WriteFile(SettingsPath(), text); }
  QByteArray Settings() const {
    QFile file(SettingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  static void WriteFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(content), content.size());
  }

 private:
  QTemporaryDir dir_;
};

// The smallest book that conforms to the schema.
inline QByteArray ValidBook() { return Book("Толстой", "Лев", "Война и мир", "prose_classic"); }

// What a message box showed.
struct ShownBox {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString title;
  QString text;
};

// Answers the modal windows that open while it lives: message boxes are recorded and answered
// from a queue of buttons (the box's default or escape button when the queue is empty); any other
// modal window goes to onOther, which must close it.
class ModalResponder : public QObject {
 public:
  explicit ModalResponder(std::deque<QMessageBox::StandardButton> answers = {},
                          std::function<void(QWidget*)> onOther = {})
      : answers_(std::move(answers)), onOther_(std::move(onOther)) {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
  }

  QList<ShownBox> boxes;
  int others = 0;

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal->property("answered").toBool()) return;
    modal->setProperty("answered", true);
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      boxes.append({box->icon(), box->windowTitle(), box->text()});
      QAbstractButton* button = nullptr;
      if (!answers_.empty()) {
        button = box->button(answers_.front());
        answers_.pop_front();
      }
      if (!button) button = box->escapeButton() ? box->escapeButton() : box->defaultButton();
      if (!button && !box->buttons().isEmpty()) button = box->buttons().first();
      button->click();
      return;
    }
    ++others;
    if (onOther_) onOther_(modal);
    // A dialog object that is shown again, like the folder picker, is answered again.
    if (!modal->isVisible()) modal->setProperty("answered", false);
  }

  std::deque<QMessageBox::StandardButton> answers_;
  std::function<void(QWidget*)> onOther_;
  QTimer timer_;
};
