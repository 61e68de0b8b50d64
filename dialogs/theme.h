#pragma once

#include <QString>

class QAction;
class QIcon;
class QLineEdit;
class QWidget;

// The window's colours: light blue backgrounds, medium blue gradient ends and bars.
inline constexpr char kThemeLight[] = "#E1EDFE";
inline constexpr char kThemeMedium[] = "#99BBEA";
inline constexpr char kThemeDarkRed[] = "#8C0000";
// The text of disabled controls: slate grey, readable on both ends of the gradient (5.3:1 on the
// medium blue, 8.9:1 on the light blue), yet plainly lighter than enabled text.
inline constexpr char kThemeDisabledText[] = "#37404E";

// A style-sheet rule giving the widgets that selector matches the theme's top-down gradient.
QString GradientRule(const QString& selector);
// The same rule with a grooved border, for the strips at the top and bottom of a window.
QString GroovedStripRule(const QString& selector);
// The text colour of disabled controls, for a window's style sheet. The style's own disabled grey is
// meant for a flat grey window: on the medium blue end of the gradients it all but vanishes. (A
// palette colour would not do: a window with a style sheet takes its text colours from there.)
QString DisabledTextRule();
// Gives a window the theme's background and the program's font: sans-serif, 11 pixels high.
void ApplyTheme(QWidget* window);
// Adds a small button inside the right end of edit and returns its action.
QAction* AddTrailingButton(QLineEdit* edit, const QIcon& icon, const QString& toolTip);
