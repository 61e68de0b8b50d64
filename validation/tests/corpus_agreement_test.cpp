#include <QDir>
#include <QProcess>
#include <QSet>
#include <map>

#include "gtest/gtest.h"
#include "validation/tests/test_books.h"
#include "validation/xsd_validator.h"

namespace {

// xmllint builds a tree despite an undeclared prefix and then judges it; we refuse to load these.
const QSet<QString> kUndeclaredPrefix = {"fbreaderj__footnote1.fb2", "fbreaderj__whiteguard.fb2"};

int XmllintExitCode(const QString& path) {
  QProcess xmllint;
  xmllint.setProcessChannelMode(QProcess::MergedChannels);
  xmllint.start("xmllint", {"--noout", "--schema", SchemaPath(), path});
  if (!xmllint.waitForFinished(60000)) return -1;
  return xmllint.exitStatus() == QProcess::NormalExit ? xmllint.exitCode() : -1;
}

// Our verdict on every real book agrees with an independent run of xmllint against the same schema:
// a validation that we wired wrongly (imports, namespaces, options) would part from it somewhere.
TEST(CorpusAgreement, VerdictsAgreeWithXmllint) {
  const QDir files(QStringLiteral(SHELVIO_CORPUS_DIR "/files"));
  const QStringList names = files.entryList({"*.fb2"}, QDir::Files, QDir::Name);
  ASSERT_EQ(names.size(), 76);

  // Books small enough are judged on their tree, larger ones streamed, a strict run's no further
  // than the schema's first complaint: all must agree, on the verdict and on where the fault is.
  TXSDValidator validator;
  ASSERT_TRUE(validator.LoadSchema(SchemaPath()));
  TXSDValidator streaming;
  ASSERT_TRUE(streaming.ShareSchema(validator));
  streaming.SetTreeBudget(0);
  TXSDValidator toComplaint;
  ASSERT_TRUE(toComplaint.ShareSchema(validator));
  toComplaint.SetStopAtFirstComplaint(true);
  std::map<int, int> ours;
  std::map<int, int> theirs;
  for (const QString& name : names) {
    SCOPED_TRACE(name.toStdString());
    const QString path = files.filePath(name);
    const int verdict = XMLValid(validator, path);
    EXPECT_EQ(XMLValid(streaming, path), verdict) << streaming.GetErrorText().toStdString();
    EXPECT_EQ(XMLValid(toComplaint, path), verdict) << toComplaint.GetErrorText().toStdString();
    if (verdict != 0) {
      // "file:line:", then the message: an image's value is quoted with its blanks collapsed by
      // the stream, so only the place must be the same.
      const auto place = [](const TXSDValidator& v) { return v.GetErrorText().section(':', 0, 1); };
      EXPECT_EQ(place(streaming), place(validator)) << streaming.GetErrorText().toStdString();
      EXPECT_EQ(toComplaint.GetErrorText(), streaming.GetErrorText());
    }
    const int xmllint = XmllintExitCode(path);
    ++ours[verdict];
    ++theirs[xmllint];
    if (kUndeclaredPrefix.contains(name)) {
      EXPECT_EQ(verdict, 1);
      EXPECT_TRUE(validator.GetErrorText().contains("Namespace prefix l"))
          << validator.GetErrorText().toStdString();
    } else if (xmllint == 0) {
      EXPECT_EQ(verdict, 0) << validator.GetErrorText().toStdString();
    } else if (xmllint == 1) {
      EXPECT_EQ(verdict, 1);
    } else {
      EXPECT_TRUE(xmllint == 3 || xmllint == 4) << "xmllint exit " << xmllint;
      EXPECT_EQ(verdict, 2) << validator.GetErrorText().toStdString();
    }
    if (verdict != 0) {
      EXPECT_FALSE(validator.GetErrorText().isEmpty());
    }
  }
  std::printf(
      "corpus of %lld books: ours valid %d, not loadable %d, not conforming %d; "
      "xmllint exit 0: %d, 1: %d, 3: %d, 4: %d\n",
      static_cast<long long>(names.size()), ours[0], ours[1], ours[2], theirs[0], theirs[1], theirs[3],
      theirs[4]);
  EXPECT_EQ(ours[0], 11);
  EXPECT_EQ(ours[1], 12);
  EXPECT_EQ(ours[2], 53);
}

}  // namespace
