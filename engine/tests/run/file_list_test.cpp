#include "engine/file_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

TEST(FileList, ListsBooksAsTheWindowWould) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (const char* name : {"b.fb2", "A.fb2", "c.FB2", "Ё.fb2", "a b.fb2", ".hidden.fb2", "notes.txt",
                           "book.fb2.zip", "x.fb2x"}) {
    QFile file(dir.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  ASSERT_TRUE(QDir().mkpath(dir.filePath("folder.fb2")));
  ASSERT_EQ(::symlink("b.fb2", QFile::encodeName(dir.filePath("link.fb2")).constData()), 0);

  // Upper and lower case sort together; hidden files, folders, links and other masks stay out.
  const QStringList names = ListBookFiles(dir.path());
  EXPECT_EQ(names.size(), 5) << names.join(", ").toStdString();
  EXPECT_TRUE(names.contains("c.FB2"));
  EXPECT_TRUE(names.contains("Ё.fb2"));
  EXPECT_LT(names.indexOf("A.fb2"), names.indexOf("b.fb2"));
  EXPECT_LT(names.indexOf("b.fb2"), names.indexOf("c.FB2"));
  EXPECT_LT(names.indexOf("a b.fb2"), names.indexOf("b.fb2"));
}

TEST(FileList, MissingFolderGivesNoBooks) {
  EXPECT_TRUE(ListBookFiles("/nonexistent/shelvio/folder").isEmpty());
}

}  // namespace
