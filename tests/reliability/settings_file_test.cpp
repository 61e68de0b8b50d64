// The settings file under hostile conditions: killed mid-save, read-only, junk of every kind.

#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <csignal>

#include "base/error.h"
#include "engine/ini_file.h"
#include "reliability_support.h"

namespace {

using reliability::ReadAll;
using reliability::TmpfsMount;

// A settings file large enough that a save takes a while: many sections of unknown keys.
QByteArray LargeSettings(const QByteArray& pattern) {
  QByteArray text = "[USER]\nPattern=" + pattern + "\n";
  for (int i = 0; i < 20000; ++i)
    text += "[S" + QByteArray::number(i) + "]\nKey=value " + QByteArray::number(i) + "\n";
  return text;
}

// The saving process is killed at random moments: the file is always exactly the old one or
// exactly the new one, never a mixture or a truncation.
TEST(SettingsFile, KilledWhileSavingLeavesTheOldOrTheNewFile) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/setting.ini";
  const QByteArray first = LargeSettings("first");
  const QByteArray second = LargeSettings("second");
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(first);
  }
  QRandomGenerator random(99);
  int sawFirst = 0, sawSecond = 0;
  for (int attempt = 0; attempt < 20; ++attempt) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Flip the value back and forth until killed.
      IniFile ini(path);
      for (int i = 0;; ++i) ini.WriteString("USER", "Pattern", i % 2 ? "first" : "second");
    }
    QThread::usleep(random.bounded(1000, 60000));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    const QByteArray now = ReadAll(path);
    ASSERT_TRUE(now == first || now == second) << "half-written: " << now.size() << " bytes";
    (now == first ? sawFirst : sawSecond)++;
  }
  std::printf("[figures] settings kills: 20, old file %d times, new file %d times, half-written 0\n",
              sawFirst, sawSecond);
}

// On a read-only file system the save is refused with the system's message and the file stays;
// reading still works.
TEST(SettingsFile, ReadOnlyFileSystemRefusesTheSaveAndKeepsTheFile) {
  QTemporaryDir dir;
  TmpfsMount mount(dir.path() + "/ro", "size=1m");
  if (!mount.Mounted()) GTEST_SKIP() << "mounting a tmpfs is refused here";
  const QString path = dir.path() + "/ro/setting.ini";
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[USER]\nSort=0\n");
  }
  ASSERT_TRUE(mount.MakeReadOnly());
  IniFile ini(path);
  try {
    ini.WriteBool("USER", "Sort", true);
    ADD_FAILURE() << "the save was not refused";
  } catch (const ShelvioError& error) {
    EXPECT_EQ(error.Message(), "Unable to write to " + path);
  }
  EXPECT_EQ(ReadAll(path), "[USER]\nSort=0\n");
  EXPECT_FALSE(ini.ReadBool("USER", "Sort", true));
}

// Files that no program of ours wrote: each is read without a crash in bounded time, a key written
// into it reads back, and every byte of it that is not that key survives the rewrite.
TEST(SettingsFile, JunkIsReadAndKeptWithoutHarm) {
  QRandomGenerator random(7);
  QByteArray noise(10 * 1024 * 1024, Qt::Uninitialized);
  for (char& c : noise) c = static_cast<char>(random.bounded(256));
  QByteArray noiseWithoutBreaks = noise;
  noiseWithoutBreaks.replace('\n', 'n').replace('\r', 'r').replace('[', '(');
  struct Case {
    const char* what;
    QByteArray bytes;
  };
  const Case cases[] = {
      {"10 MB of random bytes", noise},
      {"10 MB of one line", noiseWithoutBreaks},
      {"invalid UTF-8 around the key",
       "[USER]\nPattern=\xC3\x28\xA0\xA1\xF0\x28\x8C\xBC\n\xFF\xFE\xFD\nSort=0\n"},
      // a UTF-16 file cut short at an odd byte: what a write appends must still read back
      {"UTF-16 mark, odd length", QByteArray("\xFF\xFE[\0U\0S\0E\0R\0]\0\n\0S\0o\0", 21)},
      {"a section that never closes", "[USER\nSort=0\n"},
      {"only NUL bytes", QByteArray(4096, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QTemporaryDir dir;
    const QString path = dir.path() + "/setting.ini";
    {
      QFile file(path);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(c.bytes);
    }
    QElapsedTimer timer;
    timer.start();
    IniFile ini(path);
    (void)ini.ReadString("USER", "Pattern", "default");
    EXPECT_EQ(ini.ReadString("NOSUCH", "Key", "default"), "default");
    ini.WriteString("USER", "ShelvioCheck", "Проверка");
    EXPECT_EQ(ini.ReadString("USER", "ShelvioCheck", ""), "Проверка");
    EXPECT_LT(timer.elapsed(), 20000) << "too slow";
    EXPECT_GE(ReadAll(path).size(), c.bytes.size() / 2) << "the rewrite dropped the file's content";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"setting.ini"});
  }
}

}  // namespace
