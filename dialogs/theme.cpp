#include "dialogs/theme.h"

#include <QAction>
#include <QFontDatabase>
#include <QLineEdit>
#include <QPalette>
#include <QWidget>

QString GradientRule(const QString& selector) {
  return QStringLiteral("%1 { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %2, stop:1 %3); }\n")
      .arg(selector, QLatin1String(kThemeLight), QLatin1String(kThemeMedium));
}

QString GroovedStripRule(const QString& selector) {
  return QStringLiteral(
             "%1 { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %2, stop:1 %3);"
             " border: 2px groove %3; }\n")
      .arg(selector, QLatin1String(kThemeLight), QLatin1String(kThemeMedium));
}

QString DisabledTextRule() {
  return QStringLiteral("*:disabled { color: %1; }\n").arg(QLatin1String(kThemeDisabledText));
}

void ApplyTheme(QWidget* window) {
  QPalette palette = window->palette();
  palette.setColor(QPalette::Window, QColor(QLatin1String(kThemeLight)));
  window->setPalette(palette);
  window->setAutoFillBackground(true);
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  window->setFont(font);
}

QAction* AddTrailingButton(QLineEdit* edit, const QIcon& icon, const QString& toolTip) {
  QAction* action = edit->addAction(icon, QLineEdit::TrailingPosition);
  action->setToolTip(toolTip);
  return action;
}
