#include "base/native_name.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <vector>

#include "base/names.h"

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool IsEscape(char16_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

// The length of the valid UTF-8 sequence at bytes[i], 0 when none starts there. Strict: no
// overlong forms, no surrogates, nothing above U+10FFFF, as Qt's decoder would refuse them too.
int Utf8SequenceAt(const QByteArray& bytes, qsizetype i, char32_t* code) {
  const auto at = [&bytes](qsizetype k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = at(i);
  int length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > bytes.size()) return 0;
  for (int k = 1; k < length; ++k) {
    const unsigned char next = at(i + k);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

QString EscapedByte(unsigned char byte) {
  return QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper().replace(u'X', u'x');
}

}  // namespace

// windows-1251 bytes 0x80..0xBF; 0xC0..0xFF are А..я in code order. The unassigned byte 0x98 maps
// to U+0098 so that every byte survives a read and a rewrite.
namespace {

constexpr std::array<char16_t, 64> kWindows1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

}  // namespace

char16_t Windows1251ToUnicode(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte < 0xC0) return kWindows1251High[byte - 0x80];
  return char16_t(0x0410 + (byte - 0xC0));
}

std::optional<char> UnicodeToWindows1251(char16_t c) {
  if (c < 0x80) return char(c);
  if (c >= 0x0410 && c <= 0x044F) return char(0xC0 + (c - 0x0410));
  for (size_t i = 0; i < kWindows1251High.size(); ++i) {
    if (kWindows1251High[i] == c) return char(0x80 + i);
  }
  return std::nullopt;
}

QByteArray NativeName(const QString& path) {
  if (!HasForeignBytes(path)) return path.toUtf8();
  QByteArray bytes;
  bytes.reserve(path.size() * 2);
  qsizetype start = 0;
  for (qsizetype i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !IsEscape(path.at(i).unicode())) continue;
    bytes += QStringView(path).mid(start, i - start).toUtf8();
    if (i < path.size()) bytes += static_cast<char>(path.at(i).unicode() - kEscapeBase);
    start = i + 1;
  }
  return bytes;
}

QString NameFromNative(const QByteArray& bytes) {
  QString result;
  result.reserve(bytes.size());
  qsizetype i = 0;
  while (i < bytes.size()) {
    char32_t code = 0;
    const int length = Utf8SequenceAt(bytes, i, &code);
    if (length == 0) {
      result.append(QChar(char16_t(kEscapeBase + static_cast<unsigned char>(bytes[i]))));
      ++i;
      continue;
    }
    if (code < 0x10000) {
      result.append(QChar(char16_t(code)));
    } else {
      result.append(QChar::highSurrogate(code));
      result.append(QChar::lowSurrogate(code));
    }
    i += length;
  }
  return result;
}

bool HasForeignBytes(const QString& path) {
  for (QChar c : path) {
    if (IsEscape(c.unicode())) return true;
  }
  return false;
}

QString DisplayName(const QString& path) {
  bool foreign = false;
  bool controls = false;
  bool onlyForeign = true;
  for (QChar c : path) {
    const char16_t code = c.unicode();
    if (IsEscape(code)) {
      foreign = true;
    } else {
      controls = controls || IsNameControl(code);
      onlyForeign = onlyForeign && code < 0x80;
    }
  }
  if (!foreign && !controls) return path;
  QString result;
  result.reserve(path.size());
  for (QChar c : path) {
    const char16_t code = c.unicode();
    if (IsNameControl(code)) {
      for (const char byte : QString(c).toUtf8())
        result.append(EscapedByte(static_cast<unsigned char>(byte)));
      continue;
    }
    if (!IsEscape(code)) {
      result.append(c);
      continue;
    }
    const unsigned char byte = static_cast<unsigned char>(code - kEscapeBase);
    // 0x98 is the one byte windows-1251 leaves unassigned.
    if (onlyForeign && byte != 0x98) {
      result.append(QChar(Windows1251ToUnicode(byte)));
    } else {
      result.append(EscapedByte(byte));
    }
  }
  return result;
}

QString CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size())) return NameFromNative(QByteArray(buffer.data()));
    if (errno != ERANGE) return QString();
    buffer.resize(buffer.size() * 2);
  }
}

QString AbsolutePath(const QString& path) {
  if (path.startsWith(u'/')) return path;
  const QString current = CurrentDirectory();
  if (path.isEmpty()) return current;
  return current.endsWith(u'/') ? current + path : current + u'/' + path;
}

QStringList SubfolderNames(const QString& folder, qsizetype limit) {
  QStringList names;
  DIR* dir = ::opendir(NativeName(folder).constData());
  if (!dir) return names;
  while (limit < 0 || names.size() < limit) {
    const dirent* entry = ::readdir(dir);
    if (!entry) break;
    if (entry->d_name[0] == '.') continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat info {};
      isFolder = ::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
    }
    if (isFolder) names.append(NameFromNative(QByteArray(entry->d_name)));
  }
  ::closedir(dir);
  return names;
}

bool SetCurrentDirectory(const QString& path) { return ::chdir(NativeName(path).constData()) == 0; }
