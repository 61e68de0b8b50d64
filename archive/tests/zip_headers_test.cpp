#include "archive/zip_headers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "zip_test_support.h"

using namespace ziptest;

namespace {

using ZipHeaders = ZipTest;

// What another reader than ours reports of every entry, one JSON object per entry, after it has
// read each entry whole and checked its CRC-32.
const char kPythonReport[] = R"(
import json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    out = []
    for i in z.infolist():
        z.read(i)
        out.append(dict(name=i.filename, flags=i.flag_bits, method=i.compress_type,
                        when=list(i.date_time), crc=i.CRC, compressed=i.compress_size,
                        size=i.file_size, attributes=i.external_attr, system=i.create_system,
                        made=i.create_version, needed=i.extract_version, offset=i.header_offset))
    print(json.dumps(out))
)";

struct Case {
  const char* what;
  QByteArray name;
  uint16_t flags;
  uint16_t method;
  uint32_t attributes;
  QByteArray data;
};

// Every field the builder writes, in an archive of several entries laid out as the writer lays
// them out, as Python's zipfile reads it: a field at the wrong offset or of the wrong width, a
// wrong entry count, directory size or offset, or a local header offset that does not point at
// its entry makes the reader refuse the archive or report another value.
TEST_F(ZipHeaders, AnotherReaderSeesEveryFieldWritten) {
  const Case cases[] = {
      {"stored, ASCII name, the attributes of a raw entry", "plain.fb2", 0, zip_format::kMethodStored,
       zip_format::kPlainFileAttributes, "<FictionBook/>"},
      {"deflated, UTF-8 name flagged, read-only file",
       QByteArray("\xd0\x9a\xd0\xbd\xd0\xb8\xd0\xb3\xd0\xb0.fb2"), zip_format::kFlagUtf8Name,
       zip_format::kMethodDeflated, (0100444u << 16) | 0x21, BookLikeData(200000)},
      {"empty entry", "empty.fb2", 0, zip_format::kMethodStored, zip_format::kPlainFileAttributes, {}},
  };
  // 2021-03-04 05:06:08 in MS-DOS form
  const uint16_t dosTime = 5 << 11 | 6 << 5 | 8 / 2;
  const uint16_t dosDate = (2021 - 1980) << 9 | 3 << 5 | 4;

  QByteArray archive, directory;
  std::vector<uint32_t> offsets, compressedSizes;
  for (const Case& c : cases) {
    const QByteArray stored =
        c.method == zip_format::kMethodStored ? c.data : ExpectedRawDeflate(c.data, 6, c.data.size());
    zip_format::ZipHeaderFields fields;
    fields.flags = c.flags;
    fields.method = c.method;
    fields.dosTime = dosTime;
    fields.dosDate = dosDate;
    fields.crc = c.data.isEmpty() ? 0 : Crc32(c.data);
    fields.compressedSize = static_cast<uint32_t>(stored.size());
    fields.size = static_cast<uint32_t>(c.data.size());
    fields.nameSize = static_cast<uint16_t>(c.name.size());
    fields.externalAttributes = c.attributes;
    fields.localHeaderOffset = static_cast<uint32_t>(archive.size());
    offsets.push_back(fields.localHeaderOffset);
    compressedSizes.push_back(fields.compressedSize);
    unsigned char local[zip_format::kLocalHeaderSize];
    zip_format::FillLocalHeader(fields, local);
    archive +=
        QByteArray(reinterpret_cast<const char*>(local), zip_format::kLocalHeaderSize) + c.name + stored;
    unsigned char central[zip_format::kCentralHeaderSize];
    zip_format::FillCentralHeader(fields, central);
    directory += QByteArray(reinterpret_cast<const char*>(central), zip_format::kCentralHeaderSize) + c.name;
  }
  unsigned char end[zip_format::kEndRecordSize];
  zip_format::FillEndRecord(static_cast<uint16_t>(std::size(cases)), static_cast<uint32_t>(directory.size()),
                            static_cast<uint32_t>(archive.size()), end);
  archive += directory + QByteArray(reinterpret_cast<const char*>(end), zip_format::kEndRecordSize);
  const QString path = Path(QStringLiteral("built.zip"));
  WriteFile(path, archive);

  const ProcessResult python =
      RunProgram(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(kPythonReport), path});
  ASSERT_TRUE(python.started) << "python3 is missing";
  ASSERT_EQ(python.exitCode, 0) << python.output.toStdString();
  const QJsonArray entries = QJsonDocument::fromJson(python.output.toUtf8()).array();
  ASSERT_EQ(entries.size(), static_cast<qsizetype>(std::size(cases))) << python.output.toStdString();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const QJsonObject e = entries[static_cast<qsizetype>(i)].toObject();
    EXPECT_EQ(e["name"].toString(), QString::fromUtf8(c.name));
    EXPECT_EQ(e["flags"].toInt(), c.flags);
    EXPECT_EQ(e["method"].toInt(), c.method);
    EXPECT_EQ(e["when"].toArray(), QJsonArray({2021, 3, 4, 5, 6, 8}));
    EXPECT_EQ(static_cast<uint32_t>(e["crc"].toInteger()), c.data.isEmpty() ? 0 : Crc32(c.data));
    EXPECT_EQ(static_cast<uint32_t>(e["compressed"].toInteger()), compressedSizes[i]);
    EXPECT_EQ(e["size"].toInteger(), c.data.size());
    EXPECT_EQ(static_cast<uint32_t>(e["attributes"].toInteger()), c.attributes);
    EXPECT_EQ(e["system"].toInt(), 3);  // Unix
    EXPECT_EQ(e["made"].toInt(), 20);
    EXPECT_EQ(e["needed"].toInt(), 20);
    EXPECT_EQ(static_cast<uint32_t>(e["offset"].toInteger()), offsets[i]);
  }
}

}  // namespace
