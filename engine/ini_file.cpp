#include "engine/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/error.h"
#include "base/native_name.h"
#include "base/posix_file.h"
#include "engine/ini_encoding.h"

namespace {

using ini_encoding::Decode;
using ini_encoding::Encode;
using ini_encoding::Encoding;
using ini_encoding::IsValidUtf8;
using ini_encoding::kUtf16LeBom;
using ini_encoding::kUtf8Bom;

// The longest value a read returns; the platform functions that users' files come from read into a
// buffer of 2048 characters.
constexpr qsizetype kMaxValueLength = 2047;

// One line as it stands in the file. Lines that a write does not touch are written back from raw,
// so that they keep every byte.
struct Line {
  QByteArray raw;  // content in the file's encoding, without its line end
  QByteArray eol;  // the line end in the file's encoding; empty on an unterminated last line
  QString text;    // content decoded
  bool changed = false;
  std::optional<QString> newEol;  // a line end given by the write
};

struct IniText {
  Encoding encoding = Encoding::Utf8;
  QByteArray bom;
  std::vector<Line> lines;
};

IniText Parse(const QByteArray& bytes) {
  IniText ini;
  QByteArray body;
  if (bytes.startsWith(kUtf16LeBom)) {
    ini.encoding = Encoding::Utf16Le;
    ini.bom = bytes.left(2);
    body = bytes.mid(2);
  } else if (bytes.startsWith(kUtf8Bom)) {
    ini.encoding = Encoding::Utf8;
    ini.bom = bytes.left(3);
    body = bytes.mid(3);
  } else {
    body = bytes;
    ini.encoding = IsValidUtf8(body.constData(), body.size()) ? Encoding::Utf8 : Encoding::Windows1251;
  }

  // Line ends are found in code units: bytes, or byte pairs in UTF-16LE.
  const qsizetype unit = ini.encoding == Encoding::Utf16Le ? 2 : 1;
  auto isUnit = [&](qsizetype at, char c) {
    return body.at(at) == c && (unit == 1 || body.at(at + 1) == '\0');
  };
  qsizetype start = 0;
  qsizetype at = 0;
  while (at + unit <= body.size()) {
    if (!isUnit(at, '\n')) {
      at += unit;
      continue;
    }
    qsizetype contentEnd = at;
    if (contentEnd - unit >= start && isUnit(contentEnd - unit, '\r')) contentEnd -= unit;
    Line line;
    line.raw = body.mid(start, contentEnd - start);
    line.eol = body.mid(contentEnd, at + unit - contentEnd);
    line.text = Decode(line.raw, ini.encoding);
    ini.lines.push_back(std::move(line));
    at += unit;
    start = at;
  }
  if (start < body.size()) {
    Line line;
    line.raw = body.mid(start);
    // A UTF-16 file cut at an odd byte: the dangling byte becomes a whole code unit, or every
    // line a write appends after it would be read one byte out of step, and so lost.
    if (unit == 2 && line.raw.size() % 2 != 0) line.raw.append('\0');
    line.text = Decode(line.raw, ini.encoding);
    ini.lines.push_back(std::move(line));
  }
  return ini;
}

bool IsBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\r'; }

QStringView TrimBlanks(QStringView text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.mid(begin, end - begin);
}

bool IsQuote(QChar c) { return c == u'"' || c == u'\''; }

enum class LineKind { Blank, Comment, Section, Pair, Other };

struct LineParts {
  LineKind kind = LineKind::Other;
  QStringView name;          // section name or key
  QStringView value;         // value with blanks and one pair of quotes removed
  qsizetype valueStart = 0;  // where the value's text begins in the line (after "=" and blanks)
};

LineParts Split(const QString& text) {
  LineParts parts;
  const QStringView trimmed = TrimBlanks(text);
  if (trimmed.isEmpty()) {
    parts.kind = LineKind::Blank;
  } else if (trimmed.front() == u';') {
    parts.kind = LineKind::Comment;
  } else if (trimmed.front() == u'[') {
    parts.kind = LineKind::Section;
    const qsizetype close = trimmed.indexOf(u']');
    parts.name = TrimBlanks(trimmed.mid(1, close < 0 ? -1 : close - 1));
  } else if (const qsizetype equals = text.indexOf(u'='); equals >= 0) {
    parts.kind = LineKind::Pair;
    parts.name = TrimBlanks(QStringView(text).left(equals));
    parts.valueStart = equals + 1;
    while (parts.valueStart < text.size() && IsBlank(text.at(parts.valueStart))) ++parts.valueStart;
    QStringView value = TrimBlanks(QStringView(text).mid(equals + 1));
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
      value = value.mid(1, value.size() - 2);
    }
    parts.value = value;
  }
  return parts;
}

bool SameName(QStringView a, QStringView b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// Where section/key stands: the first line of the key within any section of that name, in file
// order, and the place for a new key, just after the last line with content of the first such
// section.
struct Location {
  std::optional<size_t> keyLine;
  std::optional<size_t> insertAt;
};

Location Find(const IniText& ini, QStringView section, QStringView key) {
  Location location;
  bool inSection = false;
  bool inFirstSection = false;
  for (size_t i = 0; i < ini.lines.size(); ++i) {
    const LineParts parts = Split(ini.lines[i].text);
    switch (parts.kind) {
      case LineKind::Section:
        inSection = SameName(parts.name, section);
        inFirstSection = inSection && !location.insertAt;
        if (inFirstSection) location.insertAt = i + 1;
        break;
      case LineKind::Pair:
        if (inSection && SameName(parts.name, key)) {
          location.keyLine = i;
          return location;
        }
        [[fallthrough]];
      case LineKind::Other:
        if (inFirstSection) location.insertAt = i + 1;
        break;
      case LineKind::Blank:
      case LineKind::Comment:
        break;
    }
  }
  return location;
}

// The file's bytes, or nothing when there is no regular file to read.
// Opened by the path's own bytes: a settings file in a home whose name is not UTF-8, or named so
// on the command line, is still found.
std::optional<QByteArray> ReadBytes(const QString& path) {
  // Not blocked by a FIFO at the name; what is no regular file is not read.
  const posix_file::FileDescriptor fd(
      ::open(NativeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  QFile file;
  if (!file.open(fd.Get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) return std::nullopt;
  return file.readAll();
}

// A file's lines split once, as the reads use them.
struct SplitLine {
  LineKind kind = LineKind::Other;
  QString name;
  QString value;
};

struct ReadableIni {
  std::vector<SplitLine> lines;
};

std::shared_ptr<const ReadableIni> ParseForReading(const QByteArray& bytes) {
  auto ini = std::make_shared<ReadableIni>();
  const IniText text = Parse(bytes);
  ini->lines.reserve(text.lines.size());
  for (const Line& line : text.lines) {
    const LineParts parts = Split(line.text);
    ini->lines.push_back({parts.kind, parts.name.toString(), parts.value.toString()});
  }
  return ini;
}

// What identifies one state of a file: an edit in place changes the size or the times, a
// replacement the inode.
struct FileState {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool operator==(const FileState& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

// A run reads every option at the moment it needs it, dozens of reads per book, and the genre
// names once per book: parsing the file each time cost more than validating a small book. The
// parsed file is kept while a stat finds it unchanged. File times advance in ticks of a few
// milliseconds, so an edit made within the tick of a read can leave every field equal: a file
// whose change time is less than two seconds before the read is never trusted from the cache.
// (The change time moves with every edit, also one that sets the modification time back.)
class ParsedIniCache {
 public:
  std::shared_ptr<const ReadableIni> Get(const QString& path) {
    const QByteArray name = NativeName(path);
    struct stat info {};
    if (name.isEmpty() || ::stat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    const FileState state{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      const auto found = entries_.find(name);
      if (found != entries_.end() && found->second.state == state) return found->second.ini;
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::optional<QByteArray> bytes = ReadBytes(path);
    if (!bytes) return nullptr;
    auto ini = ParseForReading(*bytes);
    const std::lock_guard<std::mutex> lock(mutex_);
    const bool settled = state.changed.tv_sec + kSettleSeconds <= now.tv_sec;
    if (settled && static_cast<off_t>(bytes->size()) == state.size) {
      if (entries_.size() >= kMaxFiles) entries_.clear();
      entries_[name] = {state, ini};
    } else {
      entries_.erase(name);
    }
    return ini;
  }

 private:
  static constexpr time_t kSettleSeconds = 2;
  static constexpr size_t kMaxFiles = 16;
  struct Entry {
    FileState state;
    std::shared_ptr<const ReadableIni> ini;
  };
  std::mutex mutex_;
  std::map<QByteArray, Entry> entries_;
};

ParsedIniCache& Cache() {
  static ParsedIniCache cache;
  return cache;
}

std::optional<QString> Lookup(const QString& path, const QString& section, const QString& key) {
  const std::shared_ptr<const ReadableIni> ini = Cache().Get(path);
  if (!ini) return std::nullopt;
  bool inSection = false;
  for (const SplitLine& line : ini->lines) {
    if (line.kind == LineKind::Section) {
      inSection = SameName(line.name, section);
    } else if (inSection && line.kind == LineKind::Pair && SameName(line.name, key)) {
      return line.value;
    }
  }
  return std::nullopt;
}

QString Truncated(QString value) {
  if (value.size() <= kMaxValueLength) return value;
  qsizetype length = kMaxValueLength;
  // Never leave half of a surrogate pair at the end.
  if (value.at(length - 1).isHighSurrogate()) --length;
  value.truncate(length);
  return value;
}

// A value that starts or ends with a blank, or that stands in a pair of quotes, is written inside
// double quotes, because a read removes both. Line breaks would split the line and could forge
// other keys or sections, so each becomes a space.
QString ValueAsWritten(QString value) {
  value.replace(u'\r', u' ').replace(u'\n', u' ');
  if (value.isEmpty()) return value;
  const bool blankAtEnd = IsBlank(value.front()) || IsBlank(value.back());
  const bool quoted = value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front();
  if (blankAtEnd || quoted) return u'"' + value + u'"';
  return value;
}

// The lines in the given encoding: untouched lines from their raw bytes where the encoding stays,
// the rest encoded from their text. Nothing when a character has no code in the encoding.
std::optional<QByteArray> Serialise(const IniText& ini, Encoding encoding) {
  const bool sameEncoding = encoding == ini.encoding;
  QByteArray bytes = sameEncoding ? ini.bom : QByteArray();
  for (const Line& line : ini.lines) {
    if (sameEncoding && !line.changed) {
      bytes += line.raw;
    } else {
      const std::optional<QByteArray> raw = Encode(line.text, encoding);
      if (!raw) return std::nullopt;
      bytes += *raw;
    }
    if (sameEncoding && !line.newEol) {
      bytes += line.eol;
    } else {
      bytes += Encode(line.newEol.value_or(Decode(line.eol, ini.encoding)), encoding).value_or("\n");
    }
  }
  return bytes;
}

// The file keeps its encoding where every character fits, else it becomes UTF-8. windows-1251
// output that is also valid UTF-8 with a byte above 0x7F would read back as different UTF-8 text,
// so it becomes UTF-8 too.
QByteArray ContentToWrite(const IniText& ini) {
  const std::optional<QByteArray> kept = Serialise(ini, ini.encoding);
  if (kept) {
    const bool misread = ini.encoding == Encoding::Windows1251 &&
                         IsValidUtf8(kept->constData(), kept->size()) &&
                         std::any_of(kept->begin(), kept->end(), [](char c) { return (c & 0x80) != 0; });
    if (!misread) return *kept;
  }
  return *Serialise(ini, Encoding::Utf8);
}

// Writes a temporary file beside the target, flushes it to disk and renames it over the target,
// so that the target is always either the old file or the new one. False on any failure.
bool ReplaceFile(const QString& path, const QByteArray& bytes) {
  QByteArray targetName = NativeName(AbsolutePath(path));
  // A link to the settings file stays a link; its target is replaced.
  struct stat link {};
  if (::lstat(targetName.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
    QByteArray content(PATH_MAX, '\0');
    const ssize_t length =
        ::readlink(targetName.constData(), content.data(), static_cast<size_t>(content.size()));
    if (length > 0 && length < content.size()) {
      content.truncate(length);
      targetName =
          content.startsWith('/') ? content : targetName.left(targetName.lastIndexOf('/') + 1) + content;
    }
  }

  // A settings file made read-only is not to be replaced, although its folder would allow it.
  if (::access(targetName.constData(), F_OK) == 0 && ::access(targetName.constData(), W_OK) != 0)
    return false;

  return posix_file::ReplaceFileAtomically(targetName, bytes) == 0;
}

}  // namespace

IniFile::IniFile(const QString& path) : path_(path) {}

QString IniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) const {
  return Truncated(Lookup(path_, section, key).value_or(defaultValue));
}

int IniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const {
  const QString value = ReadString(section, key, QString());
  if (value.isEmpty()) return defaultValue;
  bool ok = false;
  int number;
  if (value.size() >= 3 && value.startsWith(u"0x", Qt::CaseInsensitive)) {
    number = QStringView(value).mid(2).toInt(&ok, 16);
  } else {
    number = value.toInt(&ok, 10);
  }
  return ok ? number : defaultValue;
}

bool IniFile::ReadBool(const QString& section, const QString& key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

QStringList IniFile::Keys(const QString& section) const {
  QStringList keys;
  const std::shared_ptr<const ReadableIni> ini = Cache().Get(path_);
  if (!ini) return keys;
  bool inSection = false;
  for (const SplitLine& line : ini->lines) {
    if (line.kind == LineKind::Section) inSection = SameName(line.name, section);
    if (line.kind != LineKind::Pair || !inSection) continue;
    if (!keys.contains(line.name, Qt::CaseInsensitive)) keys << line.name;
  }
  return keys;
}

QStringList IniFile::Sections() const {
  QStringList sections;
  const std::shared_ptr<const ReadableIni> ini = Cache().Get(path_);
  if (!ini) return sections;
  for (const SplitLine& line : ini->lines) {
    if (line.kind == LineKind::Section && !sections.contains(line.name, Qt::CaseInsensitive))
      sections << line.name;
  }
  return sections;
}

void IniFile::WriteString(const QString& section, const QString& key, const QString& value) {
  const QString failure = QStringLiteral("Unable to write to ") + path_;
  struct stat info {};
  std::optional<QByteArray> bytes;
  if (::stat(NativeName(path_).constData(), &info) == 0) {
    // A file that is there but cannot be read must not be replaced by one holding a single key.
    bytes = ReadBytes(path_);
    if (!bytes) throw ShelvioError(ShelvioError::Kind::Engine, failure);
  }
  IniText ini = Parse(bytes.value_or(QByteArray()));

  // New lines end like the file's first line; a new file gets LF.
  QString eol = QStringLiteral("\n");
  for (const Line& line : ini.lines) {
    if (!line.eol.isEmpty()) {
      eol = Decode(line.eol, ini.encoding);
      break;
    }
  }
  auto newLine = [&](QString text) {
    Line line;
    line.text = std::move(text);
    line.changed = true;
    line.newEol = eol;
    return line;
  };
  // A line that gets a follower needs a line end of its own.
  auto terminate = [&](size_t index) {
    if (index > 0 && ini.lines[index - 1].eol.isEmpty()) ini.lines[index - 1].newEol = eol;
  };

  const QString written = ValueAsWritten(value);
  const Location location = Find(ini, section, key);
  if (location.keyLine) {
    Line& line = ini.lines[*location.keyLine];
    // The key keeps its spelling and its spacing; only the value changes.
    const LineParts parts = Split(line.text);
    line.text = line.text.left(parts.valueStart) + written;
    line.changed = true;
  } else if (location.insertAt) {
    terminate(*location.insertAt);
    ini.lines.insert(ini.lines.begin() + qsizetype(*location.insertAt), newLine(key + u'=' + written));
  } else {
    terminate(ini.lines.size());
    ini.lines.push_back(newLine(u'[' + section + u']'));
    ini.lines.push_back(newLine(key + u'=' + written));
  }

  if (!ReplaceFile(path_, ContentToWrite(ini))) throw ShelvioError(ShelvioError::Kind::Engine, failure);
}

void IniFile::WriteInteger(const QString& section, const QString& key, int value) {
  WriteString(section, key, QString::number(value));
}

void IniFile::WriteBool(const QString& section, const QString& key, bool value) {
  WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}
