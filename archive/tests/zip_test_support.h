#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "archive/zip_writer.h"

namespace ziptest {

// local file header
constexpr int kLocalSignature = 0;
constexpr int kLocalVersionNeeded = 4;
constexpr int kLocalFlags = 6;
constexpr int kLocalMethod = 8;
constexpr int kLocalTime = 10;
constexpr int kLocalDate = 12;
constexpr int kLocalCrc = 14;
constexpr int kLocalCompressedSize = 18;
constexpr int kLocalUncompressedSize = 22;
constexpr int kLocalNameLength = 26;
constexpr int kLocalExtraLength = 28;
constexpr int kLocalName = 30;
// central directory file header, from its start
constexpr int kCentralSignature = 0;
constexpr int kCentralVersionMadeBy = 4;
constexpr int kCentralVersionNeeded = 6;
constexpr int kCentralFlags = 8;
constexpr int kCentralMethod = 10;
constexpr int kCentralTime = 12;
constexpr int kCentralDate = 14;
constexpr int kCentralCrc = 16;
constexpr int kCentralCompressedSize = 20;
constexpr int kCentralUncompressedSize = 24;
constexpr int kCentralNameLength = 28;
constexpr int kCentralExtraLength = 30;
constexpr int kCentralCommentLength = 32;
constexpr int kCentralDiskStart = 34;
constexpr int kCentralInternalAttributes = 36;
constexpr int kCentralExternalAttributes = 38;
constexpr int kCentralLocalHeaderOffset = 42;
constexpr int kCentralName = 46;
// end of central directory record, from its start
constexpr int kEndSignature = 0;
constexpr int kEndDiskNumber = 4;
constexpr int kEndDirectoryDisk = 6;
constexpr int kEndEntriesOnDisk = 8;
constexpr int kEndEntries = 10;
constexpr int kEndDirectorySize = 12;
constexpr int kEndDirectoryOffset = 16;
constexpr int kEndCommentLength = 20;
constexpr int kEndRecordSize = 22;

inline uint16_t U16(const QByteArray& b, int at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

inline uint32_t U32(const QByteArray& b, int at) {
  return uint32_t{U16(b, at)} | uint32_t{U16(b, at + 2)} << 16;
}

inline QByteArray Bytes(std::initializer_list<int> values) {
  QByteArray out;
  for (int v : values) out.append(static_cast<char>(v));
  return out;
}

// The 22-byte archive without entries: the end record's signature and 18 zero bytes.
inline QByteArray EmptyArchive() { return QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0'); }

inline QByteArray ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

inline void WriteFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  ASSERT_EQ(file.write(content), content.size());
}

// Text that deflate can shrink but not trivially: words picked by a fixed generator.
inline QByteArray BookLikeData(qsizetype size, uint32_t seed = 1) {
  static const char* const kWords[] = {"книга ", "the ",    "<p>",   "</p>\n",      "FictionBook ",
                                       "глава ", "author ", "0123 ", "title-info ", "\t"};
  QByteArray out;
  out.reserve(size + 32);
  while (out.size() < size) {
    seed = seed * 1103515245u + 12345u;
    out.append(kWords[(seed >> 16) % 10]);
    if ((seed >> 8) % 7 == 0) out.append(static_cast<char>('a' + (seed >> 20) % 26));
  }
  out.truncate(size);
  return out;
}

// Bytes deflate cannot shrink.
inline QByteArray NoiseData(qsizetype size, uint32_t seed = 7) {
  QByteArray out(size, '\0');
  for (qsizetype i = 0; i < size; ++i) {
    seed = seed * 1664525u + 1013904223u;
    out[i] = static_cast<char>(seed >> 24);
  }
  return out;
}

// The raw deflate stream that an archive entry must hold, built the long way: a zlib stream fed in
// chunks (Z_SYNC_FLUSH between them, Z_FINISH on the last) with its 2-byte header and 4-byte
// trailer dropped. chunkEnds receives where each chunk's output ends in the result.
inline QByteArray ExpectedRawDeflate(const QByteArray& data, int level, qsizetype chunk,
                                     std::vector<qsizetype>* chunkEnds = nullptr) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  QByteArray out;
  std::vector<unsigned char> buffer(64 * 1024);
  for (qsizetype at = 0; at < data.size(); at += chunk) {
    const qsizetype k = std::min(chunk, data.size() - at);
    const bool last = at + k == data.size();
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData() + at));
    s.avail_in = static_cast<uInt>(k);
    int result;
    do {
      s.next_out = buffer.data();
      s.avail_out = static_cast<uInt>(buffer.size());
      result = deflate(&s, last ? Z_FINISH : Z_SYNC_FLUSH);
      out.append(reinterpret_cast<const char*>(buffer.data()),
                 static_cast<qsizetype>(buffer.size() - s.avail_out));
    } while (s.avail_out == 0 || (last && result != Z_STREAM_END));
    if (chunkEnds != nullptr) chunkEnds->push_back(out.size() - 2);
  }
  deflateEnd(&s);
  if (chunkEnds != nullptr && !chunkEnds->empty()) chunkEnds->back() -= 4;
  return out.mid(2, out.size() - 6);
}

inline uint32_t Crc32(const QByteArray& data) {
  return static_cast<uint32_t>(crc32(crc32(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.constData()),
                                     static_cast<uInt>(data.size())));
}

// The parts of an archive of exactly one entry, located as the record layout prescribes; the
// checks fail when the file is not laid out that way.
struct OneEntry {
  QByteArray file;
  int nameLength = 0;
  uint32_t compressedSize = 0;
  int central = 0;  // offset of the central directory header
  int end = 0;      // offset of the end record
  QByteArray LocalName() const { return file.mid(kLocalName, nameLength); }
  QByteArray Data() const {
    return file.mid(kLocalName + nameLength, static_cast<qsizetype>(compressedSize));
  }
  QByteArray CentralName() const { return file.mid(central + kCentralName, nameLength); }
};

inline OneEntry ParseOneEntry(const QByteArray& file) {
  OneEntry e;
  e.file = file;
  EXPECT_GE(file.size(), kLocalName + kCentralName + kEndRecordSize);
  if (file.size() < kLocalName + kCentralName + kEndRecordSize) return e;
  EXPECT_EQ(U32(file, kLocalSignature), 0x04034B50u);
  e.nameLength = U16(file, kLocalNameLength);
  e.compressedSize = U32(file, kLocalCompressedSize);
  e.central = kLocalName + e.nameLength + static_cast<int>(e.compressedSize);
  e.end = e.central + kCentralName + e.nameLength;
  EXPECT_EQ(file.size(), e.end + kEndRecordSize)
      << "one entry, its directory and the end record, nothing else";
  if (file.size() != e.end + kEndRecordSize) return e;
  EXPECT_EQ(U32(file, e.central + kCentralSignature), 0x02014B50u);
  EXPECT_EQ(U32(file, e.end + kEndSignature), 0x06054B50u);
  // the central header repeats the local one
  EXPECT_EQ(U16(file, e.central + kCentralFlags), U16(file, kLocalFlags));
  EXPECT_EQ(U16(file, e.central + kCentralMethod), U16(file, kLocalMethod));
  EXPECT_EQ(U16(file, e.central + kCentralTime), U16(file, kLocalTime));
  EXPECT_EQ(U16(file, e.central + kCentralDate), U16(file, kLocalDate));
  EXPECT_EQ(U32(file, e.central + kCentralCrc), U32(file, kLocalCrc));
  EXPECT_EQ(U32(file, e.central + kCentralCompressedSize), e.compressedSize);
  EXPECT_EQ(U32(file, e.central + kCentralUncompressedSize), U32(file, kLocalUncompressedSize));
  EXPECT_EQ(U16(file, e.central + kCentralNameLength), e.nameLength);
  EXPECT_EQ(e.CentralName(), e.LocalName());
  EXPECT_EQ(U32(file, e.central + kCentralLocalHeaderOffset), 0u);
  EXPECT_EQ(U16(file, e.end + kEndEntries), 1);
  EXPECT_EQ(U32(file, e.end + kEndDirectorySize), static_cast<uint32_t>(kCentralName + e.nameLength));
  EXPECT_EQ(U32(file, e.end + kEndDirectoryOffset), static_cast<uint32_t>(e.central));
  return e;
}

struct ProcessResult {
  bool started = false;
  int exitCode = -1;
  QString output;
};

// Runs a program to its end with a UTF-8 locale, so that the readers can show UTF-8 names.
inline ProcessResult RunProgram(const QString& program, const QStringList& arguments) {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
  process.setProcessEnvironment(environment);
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  ProcessResult result;
  result.started = process.waitForStarted(30000);
  if (!result.started) return result;
  process.waitForFinished(120000);
  result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  result.output = QString::fromUtf8(process.readAll());
  return result;
}

inline void ExpectExtracted(const QString& folder, const std::map<QString, QByteArray>& files,
                            const char* reader) {
  for (const auto& [name, content] : files) {
    const QString path = folder + QLatin1Char('/') + name;
    EXPECT_TRUE(QFile::exists(path)) << reader << " did not extract " << name.toStdString();
    EXPECT_TRUE(ReadAll(path) == content) << reader << " extracted other bytes for " << name.toStdString();
  }
  QDir dir(folder);
  EXPECT_EQ(dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot).size(),
            static_cast<qsizetype>(files.size()))
      << reader << " extracted other files";
}

// The names in folder exactly as the file system holds them, sorted.
inline std::vector<QByteArray> RawNames(const QString& folder) {
  std::vector<QByteArray> names;
  DIR* dir = ::opendir(QFile::encodeName(folder).constData());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const QByteArray name(entry->d_name);
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Debian's unzip is the reader most users meet, and the one that decides by the "version made by"
// host how to read a name: it must extract every entry under its UTF-8 name, byte for byte.
inline void ExpectUnzipExtracts(const QString& zipPath, const std::map<QString, QByteArray>& files) {
  QTemporaryDir out;
  const ProcessResult unzip =
      RunProgram(QStringLiteral("unzip"), {QStringLiteral("-q"), zipPath, QStringLiteral("-d"), out.path()});
  ASSERT_TRUE(unzip.started) << "unzip is missing";
  EXPECT_EQ(unzip.exitCode, 0) << unzip.output.toStdString();
  std::vector<QByteArray> expected;
  for (const auto& entry : files) expected.push_back(entry.first.toUtf8());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(RawNames(out.path()), expected) << "unzip extracted other names";
  ExpectExtracted(out.path(), files, "unzip");
}

// Every outside reader must accept the archive, list exactly these entries and extract them to
// these bytes. A reader that is missing fails the test: the set-up script installs all of them.
inline void ExpectReadersAccept(const QString& zipPath, const std::map<QString, QByteArray>& files) {
  SCOPED_TRACE(zipPath.toStdString());
  const ProcessResult unzip = RunProgram(QStringLiteral("unzip"), {QStringLiteral("-t"), zipPath});
  ASSERT_TRUE(unzip.started) << "unzip is missing";
  if (files.empty()) {  // unzip's verdict on an archive without entries is a warning, exit 1
    EXPECT_TRUE(unzip.exitCode == 1 && unzip.output.contains(QLatin1String("zipfile is empty")))
        << unzip.output.toStdString();
  } else {
    EXPECT_EQ(unzip.exitCode, 0) << unzip.output.toStdString();
    ExpectUnzipExtracts(zipPath, files);
  }

  const ProcessResult sevenZip =
      RunProgram(QStringLiteral("7z"), {QStringLiteral("t"), QStringLiteral("-bd"), zipPath});
  ASSERT_TRUE(sevenZip.started) << "7z is missing";
  EXPECT_EQ(sevenZip.exitCode, 0) << sevenZip.output.toStdString();
  EXPECT_TRUE(sevenZip.output.contains(QLatin1String("Everything is Ok"))) << sevenZip.output.toStdString();

  const ProcessResult bsdtar = RunProgram(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), zipPath});
  ASSERT_TRUE(bsdtar.started) << "bsdtar is missing";
  EXPECT_EQ(bsdtar.exitCode, 0) << bsdtar.output.toStdString();
  QStringList expectedNames;
  for (const auto& entry : files) expectedNames << entry.first;
  QStringList listed = bsdtar.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  listed.sort();
  expectedNames.sort();
  EXPECT_EQ(listed, expectedNames);

  QTemporaryDir pythonOut;
  const ProcessResult python = RunProgram(
      QStringLiteral("python3"), {QStringLiteral("-c"),
                                  QStringLiteral("import sys, zipfile\n"
                                                 "z = zipfile.ZipFile(sys.argv[1])\n"
                                                 "bad = z.testzip()\n"
                                                 "if bad is not None: sys.exit('bad entry: ' + bad)\n"
                                                 "z.extractall(sys.argv[2])\n"),
                                  zipPath, pythonOut.path()});
  ASSERT_TRUE(python.started) << "python3 is missing";
  EXPECT_EQ(python.exitCode, 0) << python.output.toStdString();
  ExpectExtracted(pythonOut.path(), files, "python zipfile");

  QTemporaryDir sevenZipOut;
  const ProcessResult extract =
      RunProgram(QStringLiteral("7z"), {QStringLiteral("x"), QStringLiteral("-bd"), QStringLiteral("-y"),
                                        QStringLiteral("-o") + sevenZipOut.path(), zipPath});
  EXPECT_EQ(extract.exitCode, 0) << extract.output.toStdString();
  ExpectExtracted(sevenZipOut.path(), files, "7z");
}

// Packs one book the way the processing run does.
inline void PackBook(TZipWriter& writer, const QString& bookPath) {
  writer.SetFileName(bookPath + QStringLiteral(".zip"));
  writer.Open(TZipWriter::kCreateMode);
  writer.AddMatching(bookPath, kAnyFileAttributes, QString());
  writer.Close();
}

// Answers the per-file prompt from a script and records what it was asked.
class ScriptedPrompt : public ZipFilePrompt {
 public:
  explicit ScriptedPrompt(std::vector<ZipPromptAnswer> answers) : answers_(std::move(answers)) {}
  ZipPromptAnswer Ask(const QString& text, const EZipWriterError& error, bool retryOffered) override {
    texts.push_back(text);
    codes.push_back(error.NativeCode());
    retries.push_back(retryOffered);
    const size_t index = texts.size() - 1;
    if (beforeAnswer) beforeAnswer(index);
    // a prompt that keeps answering Retry would loop for ever: stop at the end of the script
    return index < answers_.size() ? answers_[index] : ZipPromptAnswer::Abort;
  }
  std::function<void(size_t)> beforeAnswer;
  std::vector<QString> texts;
  std::vector<int> codes;
  std::vector<bool> retries;

 private:
  std::vector<ZipPromptAnswer> answers_;
};

// A folder of files that only this test sees.
class ZipTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
  QString Path(const QString& name) const { return dir_.path() + QLatin1Char('/') + name; }
  QString Book(const QString& name, const QByteArray& content) {
    const QString path = Path(name);
    WriteFile(path, content);
    return path;
  }
  // What the folder holds besides the given names: temporary files left behind show up here.
  QStringList Leftovers(const QStringList& expected) const {
    QStringList names =
        QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : expected) names.removeAll(name);
    return names;
  }
  QTemporaryDir dir_;
};

}  // namespace ziptest
