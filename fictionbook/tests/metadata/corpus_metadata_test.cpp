// Metadata of real books written by others, against values read off the files by hand.

#include <gtest/gtest.h>

#include <QDir>
#include <QStringList>
#include <optional>

#include "fictionbook/book_info.h"
#include "fictionbook/tests/metadata/book_fixture.h"
#include "validation/loaded_document.h"
#include "validation/xsd_validator.h"

using namespace Qt::StringLiterals;

namespace {

QString CorpusFile(const QString& name) {
  return QDir(QStringLiteral(SHELVIO_CORPUS_DIR "/files")).filePath(name);
}

struct CorpusCase {
  QString file;
  TBookInfo expected;
};

TEST(ReadBookInfoCorpus, MatchesValuesReadOffTheBooks) {
  const CorpusCase cases[] = {
      // Three authors; a sequence element written with an end tag.
      {u"fb2cng___Test.fb2"_s,
       {u"Иванов"_s, u"Иван"_s, u"Иванович"_s, u"Тестовая книга"_s, u"det_classic"_s, u"ru"_s, u"Тесты"_s,
        u"1"_s}},
      // Two authors, no lang, no sequence.
      {u"pandoc__writer.fb2"_s,
       {u"MacFarlane"_s, u"John"_s, {}, u"Pandoc Test Suite"_s, u"unrecognised"_s, {}, {}, {}}},
      // Nested sequences, several genres, xml:lang attributes on the names.
      {u"rglazkov__complex.fb2"_s,
       {u"Черчилль"_s, u"Уинстон"_s, u"Спенсер"_s, u"Вторая мировая война"_s, u"nonf_biography"_s, u"ru"_s,
        u"Книга, чё"_s, u"1"_s}},
      // windows-1251 with empty elements everywhere and an empty genre.
      {u"fbe__blank.fb2"_s, {{}, {}, {}, {}, {}, u"ru"_s, {}, {}}},
      // windows-1251; guillemets in the title stay.
      {u"fbe_____Изменить дескрипшен v.1.1 (описание).fb2"_s,
       {u"Ка"_s,
        u"Александр"_s,
        {},
        u"Скрипт «Изменить дескрипшен» v.1.1 (описание)"_s,
        u"comp_soft"_s,
        u"ru"_s,
        {},
        {}}},
      // windows-1251 with a stylesheet processing instruction before the root.
      {u"fbjava__test2.1.fb2"_s,
       {u"Грибов"_s,
        u"Дмитрий"_s,
        u"Петрович"_s,
        u"Тестовый ознакомительный документ FictionBook 2.1"_s,
        u"sf"_s,
        u"ru"_s,
        {},
        {}}},
      // UTF-8 with a byte-order mark; a number as last name; no genre.
      {u"coolreader__cr3-manual-ru.fb2"_s,
       {u"3.0.18"_s, u"Coolreader"_s, {}, u"Основные функции"_s, {}, u"ru"_s, {}, {}}},
      {u"coolreader__example.fb2"_s,
       {u"Толстой"_s, u"Лев"_s, u"Николаевич"_s, u"Война и мир"_s, u"history_russia"_s, u"ru"_s,
        u"Детство, Отрочество, Юность"_s, u"2"_s}},
      // No namespace at all; the src-title-info sequence is not read.
      {u"fb2doc__BasicTestFile.fb2"_s,
       {u"Test_LName"_s, u"Test_FName"_s, u"Test_MName"_s, u"Test book title"_s, u"sf"_s, u"En-us"_s,
        u"integration tests"_s, u"1"_s}},
      // No namespace, no XML declaration, windows-1251 bytes stored again as UTF-8: read as is.
      {u"sopds__test.fb2"_s, {u"Áóøêîâ"_s, u"Àëåêñàíäð"_s, {}, u"Òðèíêîìàëè"_s, u"sf"_s, u"ru"_s, {}, {}}},
      // document-info has its own author, never read.
      {u"fbenext__fb2-metadata-cyrillic-smoke.fb2"_s,
       {u"Смирнов"_s, u"Иван"_s, u"Петрович"_s, u"Кириллический smoke test для shell-свойств"_s,
        u"prose_history"_s, u"ru"_s, u"Большая серия проверок"_s, u"7"_s}},
      // No description at all.
      {u"pandoc__emphasis.fb2"_s, {}},
  };
  for (const CorpusCase& c : cases) {
    SCOPED_TRACE(c.file.toStdString());
    try {
      EXPECT_EQ(ReadBookInfo(CorpusFile(c.file), false, nullptr), c.expected);
    } catch (const ShelvioError& error) {
      ADD_FAILURE() << error.Message().toStdString();
    }
  }
}

TEST(ReadBookInfoCorpus, RefusesBooksThatDoNotLoad) {
  const QString files[] = {
      u"fbreaderj__MiniHelp.ru.koi8-r.fb2"_s,  // KOI8-R with an undefined entity
      u"coolreader__help_template_ru.fb2"_s,   // an unescaped "&"
      u"fb2doc___Test_Invalid.fb2"_s,          // mismatched tags
      u"sopds__badfile.fb2"_s,                 // not XML
      u"fbreaderj__footnote1.fb2"_s,           // undeclared prefix "l:"
  };
  for (const QString& file : files) {
    SCOPED_TRACE(file.toStdString());
    try {
      ReadBookInfo(CorpusFile(file), false, nullptr);
      ADD_FAILURE() << "no error";
    } catch (const ShelvioError& error) {
      EXPECT_TRUE(error.Message().startsWith(CorpusFile(file) + u":"_s)) << error.Message().toStdString();
    }
  }
}

std::optional<TBookInfo> ReadOrNothing(const auto& read) {
  try {
    return read();
  } catch (const ShelvioError&) {
    return std::nullopt;
  }
}

// The run may hand the reader the tree the validator has just loaded instead of the path: both
// must agree on every book, on whether it loads and on what it says, and so must the head of a
// valid book that the streaming check keeps.
TEST(ReadBookInfoCorpus, ValidatorTreeReadsLikeTheFile) {
  TXSDValidator validator;
  ASSERT_TRUE(validator.LoadSchema(QStringLiteral(SHELVIO_FLS_DIR "/FictionBook.xsd")));
  const QDir dir(QStringLiteral(SHELVIO_CORPUS_DIR "/files"));
  const QStringList books = dir.entryList({u"*.fb2"_s}, QDir::Files, QDir::Name);
  ASSERT_GE(books.size(), 70);
  int loaded = 0;
  int valid = 0;
  for (const QString& name : books) {
    SCOPED_TRACE(name.toStdString());
    const QString path = dir.filePath(name);
    const std::optional<TBookInfo> fromFile =
        ReadOrNothing([&] { return ReadBookInfo(path, true, nullptr); });
    const bool loads = validator.LoadDocument(path);
    if (!loads) {
      EXPECT_FALSE(fromFile.has_value()) << "the validator refuses what the reader reads";
      continue;
    }
    ++loaded;
    const std::optional<TBookInfo> fromTree =
        ReadOrNothing([&] { return ReadBookInfo(*LoadedDocument(validator), true, nullptr); });
    EXPECT_EQ(fromTree, fromFile);
    // A valid book's metadata is read in a run from the head the check keeps, of its tree or of
    // the stream.
    for (const qint64 treeBudget : {kTreeBookBytes, qint64{0}}) {
      validator.SetTreeBudget(treeBudget);
      if (XMLValid(validator, path) != 0) continue;
      valid += treeBudget == 0 ? 1 : 0;
      const std::optional<TBookInfo> fromHead =
          ReadOrNothing([&] { return ReadBookInfo(*LoadedDocument(validator), true, nullptr); });
      EXPECT_EQ(fromHead, fromFile);
    }
    validator.SetTreeBudget(kTreeBookBytes);
  }
  EXPECT_GE(loaded, 60);
  EXPECT_GE(valid, 10);
}

}  // namespace
