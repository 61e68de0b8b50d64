#include "engine/ini_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <csignal>

#include "base/error.h"
#include "tests/support/qstring_printer.h"

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

void WriteBytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QByteArray();
  return file.readAll();
}

QByteArray Utf16Le(const QString& text) {
  QStringEncoder encoder(QStringConverter::Utf16LE);
  return encoder(text);
}

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
  QString PathOf(const QString& name) const { return dir_.filePath(name); }
  QString Path() const { return PathOf(QStringLiteral("setting.ini")); }

  QTemporaryDir dir_;
};

// A new file is UTF-8 with LF ends, keys in the order written, sections matched without case.
TEST_F(IniFileTest, CreatesAFileAndReadsItBack) {
  IniFile ini(Path());
  ini.WriteInteger("FORM", "Width", 1000);
  ini.WriteInteger("FORM", "Height", -800);
  ini.WriteString("USER", "Pattern", U("Фамилия Имя - Название"));
  ini.WriteBool("USER", "Sort", false);
  ini.WriteInteger("form", "WinState", 1);
  EXPECT_EQ(ReadBytes(Path()),
            U("[FORM]\nWidth=1000\nHeight=-800\nWinState=1\n[USER]\nPattern=Фамилия Имя - Название\nSort=0\n")
                .toUtf8());

  EXPECT_EQ(ini.ReadInteger("Form", "WIDTH", 0), 1000);
  EXPECT_EQ(ini.ReadInteger("FORM", "Height", 0), -800);
  EXPECT_EQ(ini.ReadString("user", "pattern", "x"), U("Фамилия Имя - Название"));
  EXPECT_FALSE(ini.ReadBool("USER", "Sort", true));
}

// Blanks at the ends and surrounding quotes are removed by a read, so such values must be quoted.
TEST_F(IniFileTest, ValuesReadBackUnchanged) {
  const QString values[] = {
      "",       " lead", "trail ",  "\tboth\t",  "\"quoted\"",        "'single'",
      "\"half", "'",     "\"x'",    "a=b;c [d]", U("Алфавит\\Автор"), "/books/end",
      "\"\"",   "''",    " \"x\" ",
  };
  IniFile ini(Path());
  for (const QString& value : values) {
    SCOPED_TRACE(value.toStdString());
    ini.WriteString("USER", "Key", value);
    EXPECT_EQ(ini.ReadString("USER", "Key", "default"), value);
  }
  ini.WriteString("USER", "Key", " lead");
  EXPECT_EQ(ReadBytes(Path()), "[USER]\nKey=\" lead\"\n");
}

// Every line but the written one keeps its bytes: CRLF ends, comments, unknown keys and sections,
// blank lines, a last line without its end.
TEST_F(IniFileTest, RewriteKeepsEveryOtherLineByteForByte) {
  WriteBytes(Path(),
             "; settings\r\n"
             "[FORM]\r\n"
             "  Width = 800  \r\n"
             "not a pair\r\n"
             "Extra=keep me \r\n"
             "\r\n"
             "; about the next section\r\n"
             "[Other]\r\n"
             "Width=5\r\n"
             "[USER]\r\n"
             "Pattern=old");
  IniFile ini(Path());
  ini.WriteInteger("FORM", "WIDTH", 1000);
  ini.WriteInteger("FORM", "Top", 50);
  ini.WriteString("USER", "Sort", "1");
  ini.WriteString("NEW", "Key", "v");
  EXPECT_EQ(ReadBytes(Path()),
            "; settings\r\n"
            "[FORM]\r\n"
            "  Width = 1000\r\n"
            "not a pair\r\n"
            "Extra=keep me \r\n"
            "Top=50\r\n"
            "\r\n"
            "; about the next section\r\n"
            "[Other]\r\n"
            "Width=5\r\n"
            "[USER]\r\n"
            "Pattern=old\r\n"
            "Sort=1\r\n"
            "[NEW]\r\n"
            "Key=v\r\n");
  EXPECT_EQ(ini.ReadInteger("Other", "Width", 0), 5);
}

TEST_F(IniFileTest, FindsKeysByTheReadingRules) {
  WriteBytes(Path(),
             "top=before any section\n"
             "[USER]\n"
             "Pattern = \"  quoted with blanks  \"  \n"
             "Single='x'\n"
             "Mismatched=\"x'\n"
             "Empty=\n"
             "Blank = \t \n"
             ";Commented=1\n"
             "  ; Indented=1\n"
             "Dup=first\n"
             "DUP=second\n"
             "Tab\t=\tv\t\n"
             "NoEquals\n"
             "[ Spaced ]\n"
             "k=spaced section\n"
             "[user]\n"
             "Later=second section of the same name\n");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;  // nullptr: the default
  };
  const Case cases[] = {
      {"USER", "top", nullptr},
      {"user", "PATTERN", "  quoted with blanks  "},
      {"USER", "Single", "x"},
      {"USER", "Mismatched", "\"x'"},
      {"USER", "Empty", ""},  // present but empty: empty, not the default
      {"USER", "Blank", ""},
      {"USER", "Commented", nullptr},
      {"USER", "Indented", nullptr},
      {"USER", "dup", "first"},
      {"USER", "Tab", "v"},
      {"USER", "NoEquals", nullptr},
      {"Spaced", "k", "spaced section"},
      {"USER", "Later", "second section of the same name"},
      {"MISSING", "Pattern", nullptr},
  };
  const IniFile ini(Path());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(ini.ReadString(c.section, c.key, "DEF"), c.expected ? U(c.expected) : QString("DEF"));
  }
}

TEST_F(IniFileTest, CutsLongValuesTo2047Characters) {
  QString value;
  for (int i = 0; i < 3000; ++i) value.append(QChar(u'0' + i % 10));
  IniFile ini(Path());
  ini.WriteString("USER", "Pattern", value);
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), value.left(2047));
  // A default is a value too.
  EXPECT_EQ(ini.ReadString("USER", "Missing", value), value.left(2047));
}

TEST_F(IniFileTest, ReadsIntegersAndBooleansByTheValueForms) {
  struct Case {
    const char* value;
    int expected;  // with default 42
  };
  const Case cases[] = {
      {"0x3", 3},   {"0X1f", 31}, {"0x", 42}, {"0xZZ", 42},  {"0", 0},     {"-12", -12},
      {"2", 2},     {"yes", 42},  {"", 42},   {"12abc", 42}, {"  7  ", 7}, {"99999999999", 42},
      {"\"5\"", 5}, {"1.5", 42},
  };
  IniFile ini(Path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    WriteBytes(Path(), QByteArray("[USER]\nValue=") + c.value + "\n");
    EXPECT_EQ(ini.ReadInteger("USER", "Value", 42), c.expected);
    // Booleans: non-zero is true; what is not an integer gives the default, whichever it is.
    EXPECT_EQ(ini.ReadBool("USER", "Value", true), c.expected != 0);
    EXPECT_EQ(ini.ReadBool("USER", "Value", false), c.expected == 42 ? false : c.expected != 0);
  }
  EXPECT_EQ(ini.ReadInteger("USER", "Missing", -1), -1);
  EXPECT_TRUE(ini.ReadBool("USER", "Missing", true));
}

TEST_F(IniFileTest, MissingOrUnreadableFileReadsAsDefaults) {
  const IniFile missing(PathOf("absent.ini"));
  EXPECT_EQ(missing.ReadString("USER", "Pattern", "d"), "d");
  EXPECT_EQ(missing.ReadInteger("FORM", "Width", 1000), 1000);
  ASSERT_TRUE(QDir(dir_.path()).mkdir("folder.ini"));
  const IniFile folder(PathOf("folder.ini"));
  EXPECT_EQ(folder.ReadString("USER", "Pattern", "d"), "d");
}

// Reads are served from the parsed file while it is unchanged; an edit in place that keeps the
// size and sets the modification time back must still be seen, on a file edited long ago (after
// a pause of two seconds) and on one edited just now.
TEST_F(IniFileTest, EveryReadSeesTheFileAsItStandsNow) {
  const IniFile ini(Path());
  auto editInPlace = [&](const char* text) {
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(Path()).constData(), &before), 0);
    WriteBytes(Path(), text);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(Path()).constData(), times, 0), 0);
  };
  WriteBytes(Path(), "[USER]\nSort=1\n");
  ::sleep(2);
  for (int round = 0; round < 20; ++round) {
    const bool on = round % 2 == 0;
    EXPECT_EQ(ini.ReadBool("USER", "Sort", !on), on) << "round " << round;
    editInPlace(on ? "[USER]\nSort=0\n" : "[USER]\nSort=1\n");
    EXPECT_EQ(ini.ReadBool("USER", "Sort", on), !on) << "round " << round;
    EXPECT_EQ(ini.Keys("USER"), QStringList{"Sort"});
  }
}

TEST_F(IniFileTest, ReadsUtf16LeAndKeepsItOnRewrite) {
  const QByteArray bom("\xFF\xFE");
  WriteBytes(Path(), bom + Utf16Le(U("; комментарий\r\n[USER]\r\nPattern = Фамилия\r\n")));
  IniFile ini(Path());
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), U("Фамилия"));
  ini.WriteString("USER", "Pattern", U("Название 日本"));
  ini.WriteString("USER", "Sort", "1");
  EXPECT_EQ(ReadBytes(Path()),
            bom + Utf16Le(U("; комментарий\r\n[USER]\r\nPattern = Название 日本\r\nSort=1\r\n")));
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), U("Название 日本"));
}

TEST_F(IniFileTest, KeepsAUtf8ByteOrderMark) {
  WriteBytes(Path(), "\xEF\xBB\xBF[USER]\nPattern=x\n");
  IniFile ini(Path());
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), "x");
  ini.WriteString("USER", "Pattern", U("ё"));
  EXPECT_EQ(ReadBytes(Path()), "\xEF\xBB\xBF[USER]\nPattern=" + U("ё").toUtf8() + "\n");
}

// A file written by the Windows version in its ANSI code page stays in it while every character
// fits; a character outside it turns the whole file into UTF-8 without losing a letter.
TEST_F(IniFileTest, ReadsWindows1251AndKeepsItWhereEveryCharacterFits) {
  const QByteArray comment = "; \xEA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\n";   // комментарий
  WriteBytes(Path(), comment + "[USER]\nPattern=\xD4\xE0\xEC\xE8\xEB\xE8\xFF\n");  // Фамилия
  IniFile ini(Path());
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), U("Фамилия"));

  ini.WriteString("USER", "Pattern", U("Ёж «x»"));
  EXPECT_EQ(ReadBytes(Path()), comment + "[USER]\nPattern=\xA8\xE6 \xABx\xBB\n");
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), U("Ёж «x»"));

  ini.WriteString("USER", "Title", U("日本"));
  EXPECT_EQ(ReadBytes(Path()), U("; комментарий\n[USER]\nPattern=Ёж «x»\nTitle=日本\n").toUtf8());
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), U("Ёж «x»"));
}

// windows-1251 bytes that happen to form valid UTF-8 ("Сё" is D1 B8, which is UTF-8 for U+0478)
// would be read back as another text; such a file is written in UTF-8 instead.
TEST_F(IniFileTest, Windows1251RewriteNeverReadsBackAsOtherText) {
  WriteBytes(Path(), "[USER]\nPattern=\xFF\n");
  IniFile ini(Path());
  ini.WriteString("USER", "Pattern", U("Сё"));
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), U("Сё"));
}

// Our windows-1251 table against the system's codec, for every byte above 0x7F.
TEST_F(IniFileTest, Windows1251TableMatchesTheSystemCodec) {
  QStringDecoder system("windows-1251");
  if (!system.isValid()) GTEST_SKIP() << "Qt was built without a windows-1251 codec";
  QByteArray high;
  for (int byte = 0x80; byte <= 0xFF; ++byte) high.append(char(byte));
  const QByteArray bytes = "[S]\nK=" + high + "\n";
  WriteBytes(Path(), bytes);
  IniFile ini(Path());
  EXPECT_EQ(ini.ReadString("S", "K", ""), QString(system(high)));
  // Every one of them fits on the way back.
  ini.WriteString("S", "Other", "1");
  EXPECT_EQ(ReadBytes(Path()), bytes + "Other=1\n");
}

// A line break inside a value would forge further keys or sections in the file.
TEST_F(IniFileTest, LineBreaksInAValueCannotForgeKeys) {
  IniFile ini(Path());
  ini.WriteString("USER", "Pattern", "x\n[FORM]\r\nWinState=0");
  EXPECT_EQ(ini.ReadInteger("FORM", "WinState", 1), 1);
  EXPECT_EQ(ini.ReadString("USER", "Pattern", ""), "x [FORM]  WinState=0");
}

TEST_F(IniFileTest, WriteFailureNamesTheFile) {
  WriteBytes(PathOf("plain"), "not a folder");
  ASSERT_TRUE(QDir(dir_.path()).mkdir("folder.ini"));
  const QString paths[] = {PathOf("plain/setting.ini"), PathOf("folder.ini"), PathOf("missing/setting.ini")};
  for (const QString& path : paths) {
    SCOPED_TRACE(path.toStdString());
    IniFile ini(path);
    try {
      ini.WriteString("USER", "Pattern", "x");
      ADD_FAILURE() << "no error";
    } catch (const ShelvioError& error) {
      EXPECT_EQ(error.Message(), "Unable to write to " + path);
    }
  }
  EXPECT_TRUE(QFileInfo(PathOf("folder.ini")).isDir());
  EXPECT_EQ(ReadBytes(PathOf("plain")), "not a folder");
}

// A link to the settings file stays a link, and the file keeps its permissions.
TEST_F(IniFileTest, RewriteKeepsLinkAndPermissions) {
  WriteBytes(PathOf("real.ini"), "[USER]\nSort=0\n");
  ASSERT_EQ(::chmod(QFile::encodeName(PathOf("real.ini")).constData(), 0640), 0);
  ASSERT_TRUE(QFile::link(PathOf("real.ini"), Path()));
  IniFile ini(Path());
  ini.WriteBool("USER", "Sort", true);
  EXPECT_TRUE(QFileInfo(Path()).isSymLink());
  EXPECT_EQ(ReadBytes(PathOf("real.ini")), "[USER]\nSort=1\n");
  struct stat status {};
  ASSERT_EQ(::stat(QFile::encodeName(PathOf("real.ini")).constData(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// Exit codes of the children below: 0 the expected error, 1 no error, 2 another message, 3 no set-up.
int ExpectWriteFailure(const QString& path, const QString& value) {
  try {
    IniFile(path).WriteString("USER", "Pattern", value);
  } catch (const ShelvioError& error) {
    return error.Message() == "Unable to write to " + path ? 0 : 2;
  }
  return 1;
}

int WriteUnderFileSizeLimit(const QString& path) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{64, 64};
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
  return ExpectWriteFailure(path, QString(3000, u'x'));
}

int WriteAsNobody(const QString& path) {
  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 3;
  return ExpectWriteFailure(path, "new");
}

using IniFileDeathTest = IniFileTest;

// A write that fails half-way (here: the file-size limit stops the temporary file) reports the
// failure, and the old file is neither truncated nor replaced; no temporary file is left.
TEST_F(IniFileDeathTest, KeepsTheOldFileWhenTheWriteFails) {
  const QByteArray old = "; mine\n[USER]\nPattern=old\n";
  WriteBytes(Path(), old);
  const QString path = Path();
  EXPECT_EXIT(std::_Exit(WriteUnderFileSizeLimit(path)), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadBytes(Path()), old);
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{"setting.ini"});
}

// A settings file made read-only is refused like on the original platform, although its folder
// would let a rename replace it. Root may write anything, so the child drops to nobody first.
TEST_F(IniFileDeathTest, RefusesToReplaceAReadOnlyFile) {
  const QByteArray old = "[USER]\nPattern=old\n";
  WriteBytes(Path(), old);
  ASSERT_EQ(::chmod(QFile::encodeName(dir_.path()).constData(), 0777), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(Path()).constData(), 0444), 0);
  const QString path = Path();
  EXPECT_EXIT(std::_Exit(WriteAsNobody(path)), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadBytes(Path()), old);
}

}  // namespace
