#include <gtest/gtest.h>

#include <QDir>
#include <functional>
#include <variant>

#include "binding/fictionbook_21.h"
#include "fictionbook/book_info.h"

namespace {

// Fixed names for a few codes, so that the full-name path is compared too.
class FixedGenres : public GenreLookup {
 public:
  QString GenreFullName(const QString& code) const override {
    return code == "sf" ? QStringLiteral("Научная фантастика") : QString();
  }
};

using Outcome = std::variant<TBookInfo, QString>;

Outcome ReadOutcome(const std::function<TBookInfo()>& read) {
  try {
    return read();
  } catch (const ShelvioError& error) {
    return error.Message();
  }
}

std::string Describe(const Outcome& outcome) {
  if (const auto* error = std::get_if<QString>(&outcome)) return "error: " + error->toStdString();
  const TBookInfo& info = std::get<TBookInfo>(outcome);
  return QStringList({info.LastName, info.FirstName, info.MiddleName, info.Title, info.Genre, info.Lang,
                      info.SeqName, info.SeqNumber})
      .join(" | ")
      .toStdString();
}

// The direct reader and the bound one must agree on every book, errors included, except that
// only the binding insists on the FictionBook namespace for the root.
TEST(BoundMetadata, AgreesWithTheDirectReaderOnEveryCorpusBook) {
  const QDir folder(SHELVIO_CORPUS_DIR "/files");
  const QStringList books = folder.entryList({"*.fb2"}, QDir::Files, QDir::Name);
  ASSERT_GT(books.size(), 70);
  FixedGenres genres;
  int read = 0;
  int otherRoots = 0;
  for (const QString& name : books) {
    for (bool fullNames : {false, true}) {
      SCOPED_TRACE(name.toStdString() + (fullNames ? " (full genre names)" : ""));
      const QString path = folder.filePath(name);
      const Outcome direct = ReadOutcome([&] { return ReadBookInfo(path, fullNames, &genres); });
      const Outcome bound = ReadOutcome([&] { return ReadBookInfoBound(path, fullNames, &genres); });
      if (bound == Outcome(QStringLiteral("Interface not supported"))) {
        // The binding takes FictionBook in its namespace only; such books never pass validation.
        EXPECT_NE(kFictionBookNamespace, TXMLDocument::LoadFromFile(path)->DocumentElement()->NamespaceURI());
        ++otherRoots;
        continue;
      }
      EXPECT_EQ(Describe(direct), Describe(bound));
      EXPECT_TRUE(direct == bound);
      if (std::holds_alternative<TBookInfo>(bound)) ++read;
    }
  }
  EXPECT_GT(read, 100);
  EXPECT_EQ(10, otherRoots);
}

}  // namespace
