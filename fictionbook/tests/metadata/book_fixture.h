#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <ostream>

#include "fictionbook/book_info.h"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

// Failing comparisons show every field by name.
inline void PrintTo(const TBookInfo& info, std::ostream* out) {
  *out << "{LastName \"" << info.LastName.toStdString() << "\", FirstName \"" << info.FirstName.toStdString()
       << "\", MiddleName \"" << info.MiddleName.toStdString() << "\", Title \"" << info.Title.toStdString()
       << "\", Genre \"" << info.Genre.toStdString() << "\", Lang \"" << info.Lang.toStdString()
       << "\", SeqName \"" << info.SeqName.toStdString() << "\", SeqNumber \"" << info.SeqNumber.toStdString()
       << "\"}";
}

// A FictionBook 2.0 document around the given description content (UTF-8).
inline QByteArray BookWithDescription(const QByteArray& description) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\" "
         "xmlns:l=\"http://www.w3.org/1999/xlink\">\n<description>" +
         description + "</description>\n<body><section><p>Text</p></section></body>\n</FictionBook>\n";
}

inline QByteArray BookWithTitleInfo(const QByteArray& titleInfo) {
  return BookWithDescription("<title-info>" + titleInfo + "</title-info>");
}

// Books written as files into a temporary folder that lives as long as the fixture.
class BookFiles {
 public:
  BookFiles() { EXPECT_TRUE(dir_.isValid()); }

  QString Write(const QString& name, const QByteArray& content) const {
    const QString path = dir_.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    EXPECT_EQ(file.write(content), content.size());
    return path;
  }
  QString Path(const QString& name) const { return dir_.filePath(name); }

 private:
  QTemporaryDir dir_;
};
