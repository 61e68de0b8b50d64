#include "base/native_name.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>

namespace {

// Names as old collections have them, and what a person is shown of each.
struct NameCase {
  const char* what;
  QByteArray bytes;
  const char* shown;  // UTF-8
};

const NameCase kNames[] = {
    {"UTF-8", "Иванов - Дом.fb2", "Иванов - Дом.fb2"},
    {"windows-1251", "\xC8\xE2\xE0\xED\xEE\xE2 - \xC4\xEE\xEC.fb2", "Иванов - Дом.fb2"},
    {"cp866 is shown as windows-1251 would read it", "\x88\xA2\xA0\xAD\xAE\xA2.fb2", "€ў\u00a0\u00ad®ў.fb2"},
    {"UTF-8 with one stray byte", "Дом\xFF.fb2", "Дом\\xFF.fb2"},
    {"the byte windows-1251 leaves unassigned", "\x98\xC4.fb2", "\\x98Д.fb2"},
    {"a cut UTF-8 sequence", "a\xD0.fb2", "aР.fb2"},
    {"encoded surrogate", "\xED\xA0\x80.fb2", "н\u00a0Ђ.fb2"},
    {"overlong slash", "\xC0\xAF.fb2", "АЇ.fb2"},
    {"four-byte UTF-8", "\xF0\x9D\x94\x84.fb2", "\U0001D504.fb2"},
    {"ASCII", "a b\\c.fb2", "a b\\c.fb2"},
    // Controls show escaped, so that each name takes one line and nothing steers the text.
    {"a tab and a line break", "a\tb\nc.fb2", "a\\x09b\\x0Ac.fb2"},
    {"a right-to-left override", "\xE2\x80\xAEgpj.fb2", "\\xE2\\x80\\xAEgpj.fb2"},
    {"a line separator and C1 controls", "a\xE2\x80\xA8\xC2\x85\xC2\x9B.fb2",
     "a\\xE2\\x80\\xA8\\xC2\\x85\\xC2\\x9B.fb2"},
    {"windows-1251 with a line break", "\xC4\xEE\xEC\n.fb2", "Дом\\x0A.fb2"},
};

// Every name goes back to the system byte for byte, and shows readably.
TEST(NativeName, EveryByteStringRoundTrips) {
  for (const NameCase& c : kNames) {
    SCOPED_TRACE(c.what);
    const QString name = NameFromNative(c.bytes);
    EXPECT_EQ(NativeName(name), c.bytes);
    EXPECT_EQ(DisplayName(name), QString::fromUtf8(c.shown));
    EXPECT_EQ(HasForeignBytes(name), QString::fromUtf8(c.bytes).toUtf8() != c.bytes);
  }
  // All 256 bytes in every position of a short name.
  for (int a = 1; a < 256; ++a) {
    for (int b = 0; b < 256; b += 17) {
      const QByteArray bytes = QByteArray(1, char(a)) + char(b) + "x";
      ASSERT_EQ(NativeName(NameFromNative(bytes)), bytes) << a << " " << b;
    }
  }
}

// The current directory and paths made absolute keep a folder name that is not UTF-8.
TEST(NativeName, CurrentDirectoryKeepsItsBytes) {
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QByteArray folder = QFile::encodeName(root.path()) + "/\xCA\xED\xE8\xE3\xE8";
  ASSERT_EQ(::mkdir(folder.constData(), 0700), 0);
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(folder.constData()), 0);
  const QString current = CurrentDirectory();
  const QString absolute = AbsolutePath(NameFromNative(QByteArray("\xCA.fb2")));
  ASSERT_EQ(::chdir(previous), 0);
  ASSERT_EQ(::rmdir(folder.constData()), 0);
  EXPECT_EQ(NativeName(current), folder);
  EXPECT_EQ(NativeName(absolute), folder + "/\xCA.fb2");
  EXPECT_EQ(AbsolutePath("/x"), "/x");
}

}  // namespace
