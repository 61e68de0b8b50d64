#pragma once

#include <QByteArray>
#include <QString>

// A small book that conforms to the FictionBook schema, with the metadata the run reads.
inline QByteArray Book(const QString& last, const QString& first, const QString& title,
                       const QString& genre = "sf") {
  return QStringLiteral(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description>"
             "<title-info><genre>%4</genre><author><first-name>%2</first-name>"
             "<last-name>%1</last-name></author><book-title>%3</book-title><lang>ru</lang>"
             "</title-info><document-info><author><nickname>n</nickname></author><date>2020</date>"
             "<id>1</id><version>1.0</version></document-info></description>"
             "<body><section><p>text</p></section></body></FictionBook>\n")
      .arg(last, first, title, genre)
      .toUtf8();
}
