#include "engine/genre_list.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "tests/support/qstring_printer.h"

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

TEST(GenreList, AnswersListedCodesAndNothingElse) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("genres.list");
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(
        U("[OTHER]\nsf_humor=не тот раздел\n[genres]\nsf=Фантастика\\Научная\ndet=\n=пусто\n").toUtf8());
  }
  GenreList genres;
  EXPECT_EQ(genres.GenreFullName("sf"), "");  // not open yet
  genres.Open(path);
  EXPECT_EQ(genres.GenreFullName("SF"), U("Фантастика\\Научная"));
  EXPECT_EQ(genres.GenreFullName("det"), "");
  EXPECT_EQ(genres.GenreFullName("sf_humor"), "");  // listed in another section only
  EXPECT_EQ(genres.GenreFullName("unknown_code"), "");
  EXPECT_EQ(genres.GenreFullName(""), "");

  // Every lookup asks the file: a change shows at once.
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[GENRES]\nsf=Science fiction\n");
  }
  EXPECT_EQ(genres.GenreFullName("sf"), "Science fiction");

  genres.Release();
  EXPECT_FALSE(genres.IsOpen());
  EXPECT_EQ(genres.GenreFullName("sf"), "");
}

TEST(GenreList, MissingFileGivesEmptyNames) {
  GenreList genres;
  genres.Open("/nonexistent-folder/fls/genres.list");
  EXPECT_TRUE(genres.IsOpen());
  EXPECT_EQ(genres.GenreFullName("sf"), "");
}

TEST(GenreList, ReadsTheShippedGenreFile) {
  GenreList genres;
  genres.Open(SHELVIO_FLS_DIR "/genres.list");
  EXPECT_EQ(genres.GenreFullName("det_classic"), U("Классический детектив"));
  EXPECT_EQ(genres.GenreFullName("accounting"), U("Бухучёт, налогообложение, аудит"));
  EXPECT_EQ(genres.GenreFullName("unrecognised"), U("Неотсортированное"));
  EXPECT_EQ(genres.GenreFullName("no_such_genre"), "");
}

}  // namespace
