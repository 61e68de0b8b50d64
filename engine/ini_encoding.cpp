#include "engine/ini_encoding.h"

#include "base/native_name.h"

namespace ini_encoding {

bool IsValidUtf8(const char* data, qsizetype size) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  qsizetype i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    int extra;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (size - i <= extra) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (int k = 2; k <= extra; ++k) {
      if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return false;
    }
    i += extra + 1;
  }
  return true;
}

QString Decode(const QByteArray& bytes, Encoding encoding) {
  switch (encoding) {
    case Encoding::Utf8:
      return QString::fromUtf8(bytes);
    case Encoding::Utf16Le: {
      QString text;
      text.reserve(bytes.size() / 2 + 1);
      const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
      qsizetype i = 0;
      for (; i + 1 < bytes.size(); i += 2) text.append(QChar(char16_t(data[i] | (data[i + 1] << 8))));
      if (i < bytes.size()) text.append(QChar::ReplacementCharacter);
      return text;
    }
    case Encoding::Windows1251: {
      QString text;
      text.reserve(bytes.size());
      for (char byte : bytes) text.append(QChar(Windows1251ToUnicode(static_cast<unsigned char>(byte))));
      return text;
    }
  }
  return {};
}

std::optional<QByteArray> Encode(const QString& text, Encoding encoding) {
  switch (encoding) {
    case Encoding::Utf8:
      return text.toUtf8();
    case Encoding::Utf16Le: {
      QByteArray bytes;
      bytes.reserve(text.size() * 2);
      for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
      }
      return bytes;
    }
    case Encoding::Windows1251: {
      QByteArray bytes;
      bytes.reserve(text.size());
      for (QChar c : text) {
        const std::optional<char> byte = UnicodeToWindows1251(c.unicode());
        if (!byte) return std::nullopt;
        bytes.append(*byte);
      }
      return bytes;
    }
  }
  return std::nullopt;
}

}  // namespace ini_encoding
