#include "engine/run_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/native_name.h"
#include "base/posix_file.h"
#include "engine/app_paths.h"
#include "engine/file_ops.h"
#include "engine/journal.h"
#include "engine/settings.h"

namespace {

constexpr char kMagic[] = "shelvio run record";
constexpr char kSuffix[] = ".run";
// Marks the fields of the .fb2.zip a book arrived in, and how the run left it.
constexpr char kArrivalMarker[] = "zip";
constexpr char kRepacked[] = "repacked";
constexpr char kUnpacked[] = "unpacked";
// Nothing this big is a record of ours.
constexpr qint64 kRecordSizeLimit = 1024LL * 1024 * 1024;

// The one spelling of every status, in the order "--runs" counts them.
constexpr struct {
  RecordStatus status;
  const char* word;
} kStatusWords[] = {
    {RecordStatus::Invalid, "invalid"}, {RecordStatus::Moved, "moved"},     {RecordStatus::Repeat, "repeat"},
    {RecordStatus::Kept, "kept"},       {RecordStatus::Missing, "missing"}, {RecordStatus::Moving, "moving"},
};

// A book's line, field by field. A "moving" line is written before the book's reason is known and
// leaves Reason out; the reader puts it back so that one layout reads both.
enum BookField : qsizetype {
  kStatusField,
  kSourceField,
  kTargetField,
  kReasonField,
  kSizeField,
  kHashField,
  kEntryField,    // for a book packed by the run: its entry in the archive
  kCrcField,      // and that entry's CRC-32
  kMarkerField,   // kArrivalMarker for a book that arrived as a .fb2.zip
  kHowField,      // kRepacked or kUnpacked
  kArrivalField,  // the first of the arrival's own fields (engine/undo_archive.h)
};

// The length of the well-formed UTF-8 sequence of a printable character at data[0], or 0.
int Utf8Length(const unsigned char* data, qsizetype left) {
  const unsigned char lead = data[0];
  int length = 0;
  char32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (int i = 1; i < length; ++i) {
    if ((data[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (data[i] & 0x3F);
  }
  // overlong forms, surrogates, beyond Unicode, and the C1 controls are escaped
  if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF) || (code >= 0x80 && code < 0xA0))
    return 0;
  return length;
}

QByteArray HexByte(unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  return QByteArray("\\x") + kDigits[byte >> 4] + kDigits[byte & 0xF];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A path as the record holds it: absolute, from the run's current folder.
QByteArray AbsoluteBytes(const QString& path) {
  const QByteArray bytes = NativeName(path);
  if (bytes.startsWith('/')) return bytes;
  char folder[PATH_MAX];
  if (::getcwd(folder, sizeof folder) == nullptr) return bytes;
  return QByteArray(folder) + '/' + bytes;
}

QByteArray Utf8(const QString& text) { return text.toUtf8(); }

QByteArray DigestFields(const BookDigest& digest, QByteArray* hash) {
  if (!digest.known) {
    *hash = QByteArray();
    return QByteArray();
  }
  *hash = QByteArray::number(digest.hash, 16).rightJustified(16, '0');
  return QByteArray::number(digest.size);
}

QByteArray CrcField(const BookOutcome& outcome) {
  if (!outcome.packed || outcome.archiveEntry.isEmpty()) return QByteArray();
  return QByteArray::number(outcome.archiveCrc, 16).rightJustified(8, '0');
}

QByteArray KeyOf(const Setting& setting) {
  return QByteArray(setting.key.data(), static_cast<qsizetype>(setting.key.size()));
}

QByteArray JoinLine(const QList<QByteArray>& fields) {
  QByteArray line;
  for (qsizetype i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    line += EscapeRecordField(fields[i]);
  }
  return line + '\n';
}

}  // namespace

QLatin1String StatusWord(RecordStatus status) {
  for (const auto& entry : kStatusWords) {
    if (entry.status == status) return QLatin1String(entry.word);
  }
  Q_UNREACHABLE();
}

QLatin1String StatusWord(BookStatus status) { return StatusWord(RecordStatusOf(status)); }

bool StatusOfWord(QByteArrayView word, RecordStatus* status) {
  for (const auto& entry : kStatusWords) {
    if (word == entry.word) {
      *status = entry.status;
      return true;
    }
  }
  return false;
}

RecordStatus RecordStatusOf(BookStatus status) {
  switch (status) {
    case BookStatus::Invalid:
      return RecordStatus::Invalid;
    case BookStatus::Moved:
      return RecordStatus::Moved;
    case BookStatus::Repeat:
      return RecordStatus::Repeat;
    case BookStatus::Kept:
      return RecordStatus::Kept;
    case BookStatus::Missing:
      return RecordStatus::Missing;
  }
  return RecordStatus::Kept;
}

QByteArray EscapeRecordField(const QByteArray& bytes) {
  QByteArray out;
  out.reserve(bytes.size());
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
  for (qsizetype i = 0; i < bytes.size();) {
    const unsigned char byte = data[i];
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += HexByte(byte);
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else if (const int length = Utf8Length(data + i, bytes.size() - i)) {
      out.append(bytes.constData() + i, length);
      i += length;
      continue;
    } else {
      out += HexByte(byte);
    }
    ++i;
  }
  return out;
}

QByteArray UnescapeRecordField(const QByteArray& field) {
  QByteArray out;
  out.reserve(field.size());
  for (qsizetype i = 0; i < field.size(); ++i) {
    const char c = field[i];
    if (c != '\\' || i + 1 >= field.size()) {
      out += c;
      continue;
    }
    const char next = field[++i];
    if (next == 't')
      out += '\t';
    else if (next == 'n')
      out += '\n';
    else if (next == 'r')
      out += '\r';
    else if (next == 'x' && i + 2 < field.size() && HexValue(field[i + 1]) >= 0 &&
             HexValue(field[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(field[i + 1]) * 16 + HexValue(field[i + 2]));
      i += 2;
    } else {
      out += next;
    }
  }
  return out;
}

QString RunsFolder() {
  const QString state = JournalFolder();
  return state.isEmpty() ? QString() : state + QStringLiteral("/runs");
}

QStringList ListRunRecords() {
  const QString folder = RunsFolder();
  if (folder.isEmpty()) return {};
  std::vector<QByteArray> names;
  if (DIR* dir = ::opendir(NativeName(folder).constData())) {
    while (const dirent* entry = ::readdir(dir)) {
      const QByteArray name(entry->d_name);
      struct stat status {};
      if (name.endsWith(kSuffix) && !name.startsWith('.') &&
          ::fstatat(::dirfd(dir), entry->d_name, &status, 0) == 0 && S_ISREG(status.st_mode))
        names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  QStringList paths;
  for (const QByteArray& name : names) paths << folder + u'/' + NameFromNative(name);
  return paths;
}

QString RecordFolderProblem() {
  const QString folder = RunsFolder();
  if (folder.isEmpty())
    return QStringLiteral("no home folder is known (HOME is not set and the user has no password entry)");
  if (const int error = ForceDirectories(folder))
    return QStringLiteral("Unable to create directory %1: %2")
        .arg(DisplayName(folder), QString::fromLocal8Bit(std::strerror(error)));
  // Only a file made there proves it: permissions do not bind root, a read-only mount does.
  const QByteArray probe = NativeName(folder) + "/.probe-" + QByteArray::number(::getpid());
  const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return QStringLiteral("Unable to create a file in %1: %2")
        .arg(DisplayName(folder), QString::fromLocal8Bit(std::strerror(errno)));
  ::close(fd);
  ::unlink(probe.constData());
  return QString();
}

QString RecordTime() {
  return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

RecordingHost::RecordingHost(RunHost& host, const QString& folder, const QString& program)
    : host_(host), folder_(folder), program_(program), started_(RecordTime()) {}

RecordingHost::~RecordingHost() {
  if (!finished_) Finish(QStringLiteral("error"));
  if (fd_ >= 0) ::close(fd_);
}

bool RecordingHost::Ready() {
  if (fd_ >= 0) return true;
  if (failed_) return false;
  failed_ = true;
  const QString folder = RunsFolder();
  if (folder.isEmpty()) {
    error_ = QStringLiteral("no folder for records: no home folder is known");
    return false;
  }
  if (const int error = ForceDirectories(folder)) {
    error_ = QStringLiteral("Unable to create directory %1: %2")
                 .arg(DisplayName(folder), QString::fromLocal8Bit(std::strerror(error)));
    return false;
  }
  // yyyyMMddTHHmmss.zzzZ: the names sort as the runs started.
  QString stamp = started_;
  stamp.remove(u'-').remove(u':');
  for (int attempt = 0; attempt < 10 && fd_ < 0; ++attempt) {
    QString name = stamp + u'-' + QString::number(::getpid());
    if (attempt > 0) name += u'-' + QString::number(QRandomGenerator::global()->bounded(1 << 30));
    path_ = folder + u'/' + name + QLatin1String(kSuffix);
    fd_ = ::open(NativeName(path_).constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    error_ = QStringLiteral("Unable to create %1: %2")
                 .arg(DisplayName(path_), QString::fromLocal8Bit(std::strerror(errno)));
    path_.clear();
    return false;
  }
  failed_ = false;
  Write({kMagic, "1"});
  Write({"started", Utf8(started_)});
  Write({"program", Utf8(program_)});
  Write({"folder", AbsoluteBytes(folder_)});
  return !failed_;
}

// Taken before each line of a book or of folders: a change in the window applies from the next
// book on, and the record says from where.
void RecordingHost::NoteOptions() {
  const SettingValues now = host_.Options();
  for (const Setting& row : kSettings) {
    const QString value = ValueText(now, row);
    if (optionsNoted_ && value == ValueText(options_, row)) continue;
    Write({"setting", KeyOf(row), Utf8(value)});
  }
  options_ = now;
  optionsNoted_ = true;
}

void RecordingHost::Write(const QList<QByteArray>& fields) {
  if (fd_ < 0) return;
  const QByteArray line = JoinLine(fields);
  if (const int error = posix_file::WriteAll(fd_, line.constData(), static_cast<size_t>(line.size()))) {
    if (error_.isEmpty())
      error_ =
          QStringLiteral("Unable to write %1: %2").arg(path_, QString::fromLocal8Bit(std::strerror(error)));
    failed_ = true;
  }
}

namespace {

// "STATUS SOURCE TARGET REASON SIZE HASH", then for a packed book "ENTRY CRC", then for a book
// that arrived packed the marker, how it was placed and the arrival's fields.
QList<QByteArray> BookFields(const BookOutcome& outcome, RecordStatus status) {
  QByteArray hash;
  const QByteArray size = DigestFields(outcome.digest, &hash);
  QList<QByteArray> fields = {QByteArray(StatusWord(status).data(), StatusWord(status).size()),
                              AbsoluteBytes(outcome.source),
                              outcome.target.isEmpty() ? QByteArray() : AbsoluteBytes(outcome.target),
                              Utf8(outcome.reason.simplified()),
                              size,
                              hash};
  if (outcome.packed) fields << outcome.archiveEntry << CrcField(outcome);
  if (outcome.arrived.known) {
    if (!outcome.packed) fields << QByteArray() << QByteArray();
    fields << kArrivalMarker << (outcome.packed ? kRepacked : kUnpacked) << ArrivalFields(outcome.arrived);
  }
  return fields;
}

}  // namespace

void RecordingHost::BookMoving(const BookOutcome& outcome) {
  if (Ready()) {
    NoteOptions();
    // Written before the move, so without the reason a finished book's line has.
    QList<QByteArray> fields = BookFields(outcome, RecordStatus::Moving);
    fields.removeAt(kReasonField);
    Write(fields);
  }
  host_.BookMoving(outcome);
}

void RecordingHost::BookDone(const BookOutcome& outcome) {
  if (Ready()) {
    NoteOptions();
    BookOutcome done = outcome;
    if (done.status != BookStatus::Moved) done.arrived = ArrivedArchive();
    Write(BookFields(done, RecordStatusOf(done.status)));
  }
  host_.BookDone(outcome);
}

void RecordingHost::CreatingFolders(const QStringList& folders) {
  if (Ready()) {
    NoteOptions();
    for (const QString& folder : folders) Write({"created", AbsoluteBytes(folder)});
  }
  host_.CreatingFolders(folders);
}

void RecordingHost::Finish(const QString& how) {
  finished_ = true;
  Write({"ended", Utf8(RecordTime()), Utf8(how.simplified())});
}

QStringList RunRecord::OptionValues(const Setting& setting) const {
  const QString key = QString::fromLatin1(KeyOf(setting));
  QStringList values;
  for (const auto& [name, value] : settings) {
    if (name == key) values << value;
  }
  return values;
}

QString RunRecord::Counts() const {
  QStringList parts;
  for (const auto& entry : kStatusWords) {
    const auto count = std::count_if(books.begin(), books.end(),
                                     [&](const RecordedBook& book) { return book.status == entry.status; });
    if (count > 0) parts << QStringLiteral("%1 %2").arg(QLatin1String(entry.word)).arg(count);
  }
  return parts.isEmpty() ? QStringLiteral("no books") : parts.join(QStringLiteral(", "));
}

bool ReadRunRecord(const QString& path, RunRecord* record, QString* error) {
  // Opened without waiting (a FIFO would hang the open) and read only when it is a plain file of a
  // record's size: /dev/zero or a pipe never ends. By the path's own bytes: the state folder lies
  // in a home whose name may not be UTF-8.
  const posix_file::FileDescriptor file(
      ::open(NativeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (!file.Valid() || ::fstat(file.Get(), &info) != 0) {
    if (error)
      *error = QStringLiteral("Unable to open %1: %2")
                   .arg(DisplayName(path), QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    if (error) *error = QStringLiteral("%1 is not a record of a run: not a regular file").arg(path);
    return false;
  }
  if (info.st_size > kRecordSizeLimit) {
    if (error) *error = QStringLiteral("%1 is too large for a record").arg(path);
    return false;
  }
  QByteArray text(static_cast<qsizetype>(info.st_size), Qt::Uninitialized);
  text.truncate(static_cast<qsizetype>(posix_file::ReadFull(
      file.Get(), reinterpret_cast<unsigned char*>(text.data()), static_cast<size_t>(text.size()))));
  RunRecord result;
  result.path = path;
  bool headerSeen = false;
  qsizetype start = 0;
  for (qsizetype end; (end = text.indexOf('\n', start)) >= 0; start = end + 1) {
    // A line without its newline was cut by a kill and is not read.
    QList<QByteArray> fields = text.mid(start, end - start).split('\t');
    for (QByteArray& field : fields) field = UnescapeRecordField(field);
    const QByteArray& kind = fields[0];
    if (!headerSeen) {
      if (kind != kMagic) break;
      headerSeen = true;
    } else if (kind == "started") {
      result.started = QString::fromUtf8(fields.value(1));
    } else if (kind == "program") {
      result.program = QString::fromUtf8(fields.value(1));
    } else if (kind == "folder") {
      result.folder = fields.value(1);
    } else if (kind == "setting") {
      result.settings.append({QString::fromUtf8(fields.value(1)), QString::fromUtf8(fields.value(2))});
    } else if (kind == "created") {
      if (!fields.value(1).isEmpty()) result.createdFolders.append(fields.value(1));
    } else if (kind == "ended") {
      result.ended = QString::fromUtf8(fields.value(2));
      if (result.ended.isEmpty()) result.ended = QStringLiteral("ended");
    } else if (kind == "undone") {
      result.undone << QString::fromUtf8(fields.value(1)) + u' ' + QString::fromUtf8(fields.value(2));
    } else if (RecordStatus status{}; StatusOfWord(kind, &status) && fields.size() > kTargetField &&
                                      !fields[kSourceField].isEmpty()) {
      RecordedBook book;
      book.status = status;
      book.source = fields[kSourceField];
      book.target = fields[kTargetField];
      const bool moving = status == RecordStatus::Moving;
      if (moving) fields.insert(kReasonField, QByteArray());
      book.reason = QString::fromUtf8(fields.value(kReasonField));
      bool sizeRead = false, hashRead = false;
      book.digest.size = fields.value(kSizeField).toLongLong(&sizeRead);
      book.digest.hash = fields.value(kHashField).toULongLong(&hashRead, 16);
      book.digest.known = sizeRead && hashRead && book.digest.size >= 0;
      if (!book.digest.known) book.digest = BookDigest();
      if (fields.size() > kCrcField) {
        bool crcRead = false;
        book.archiveCrc = fields[kCrcField].toUInt(&crcRead, 16);
        book.archiveEntry = crcRead ? fields[kEntryField] : QByteArray();
        book.packed = true;
      }
      if (fields.size() > kHowField && fields[kMarkerField] == kArrivalMarker) {
        book.packed = fields[kHowField] == kRepacked;
        book.arrived = ArrivalFromFields(fields.mid(kArrivalField));
      }
      // The line that says how a book ended takes the place of the one written before its move.
      if (!moving && !result.books.isEmpty() && result.books.last().status == RecordStatus::Moving &&
          result.books.last().source == book.source)
        result.books.removeLast();
      result.books.append(book);
    }
  }
  if (!headerSeen) {
    if (error) *error = QStringLiteral("%1 is not a record of a run").arg(path);
    return false;
  }
  *record = std::move(result);
  return true;
}

bool AppendToRecord(const QString& path, const QList<QByteArray>& fields) {
  const posix_file::FileDescriptor fd(
      ::open(NativeName(path).constData(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  QList<QByteArray> line = fields;
  line.insert(1, RecordTime().toUtf8());
  const QByteArray bytes = JoinLine(line);
  return posix_file::WriteAll(fd.Get(), bytes.constData(), static_cast<size_t>(bytes.size())) == 0;
}
