#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include "gtest/gtest.h"

// The schema beside the sources; the tests never copy it into the repository.
inline QString SchemaPath() { return QStringLiteral(SHELVIO_FLS_DIR "/FictionBook.xsd"); }

// The smallest book that conforms: every element the schema requires, Cyrillic text, room for more
// elements before and after the body.
inline QByteArray MinimalBook(const QByteArray& afterBody = {},
                              const QByteArray& prolog = R"(<?xml version="1.0" encoding="UTF-8"?>)") {
  return prolog + "\n" +
         R"(<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0" xmlns:l="http://www.w3.org/1999/xlink">
<description>
<title-info><genre>prose_classic</genre><author><first-name>Лев</first-name><last-name>Толстой</last-name></author><book-title>Война и мир</book-title><lang>ru</lang></title-info>
<document-info><author><nickname>x</nickname></author><date>2020</date><id>1</id><version>1.0</version></document-info>
</description>
<body><section><p>Текст</p></section></body>
)" + afterBody +
         "</FictionBook>\n";
}

// A temporary folder that the test writes its fixtures into.
class TempFolder {
 public:
  TempFolder() { EXPECT_TRUE(dir_.isValid()); }
  QString Path(const QString& name) const { return dir_.filePath(name); }
  QString Write(const QString& name, const QByteArray& content) const {
    const QString path = Path(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    EXPECT_EQ(file.write(content), content.size());
    return path;
  }

 private:
  QTemporaryDir dir_;
};
