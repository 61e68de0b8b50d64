#pragma once

#include <QString>
#include <ostream>

// GoogleTest shows a failing QString as readable UTF-8 instead of a dump of its code units.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
