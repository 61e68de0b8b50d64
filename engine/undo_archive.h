#pragma once

// A book that arrived packed (a .fb2.zip) leaves the run unpacked, or repacked into an archive of
// the program's own. What an undo needs to give back the archive it arrived in is kept in the run's
// record: the entry's description and, when small, the archive's bytes outside the entry's
// compressed bytes (its skeleton). Joined to the same compressed bytes, the skeleton gives back the
// archive byte for byte.

#include <QByteArray>
#include <QList>
#include <QString>

#include "validation/book_digest.h"

class ZippedBook;

struct ArrivedArchive {
  bool known = false;
  QByteArray entryName;  // as stored, raw bytes
  quint16 method = 0;
  quint32 crc = 0;
  quint64 compressedSize = 0;
  quint64 size = 0;
  quint32 dosTime = 0;  // MS-DOS date (high half) and time (low half)
  quint16 flags = 0;
  BookDigest book;         // of the unpacked bytes, when the run unpacked them
  quint64 dataOffset = 0;  // where the compressed bytes sit in the archive
  QByteArray skeleton;     // the archive without them; empty when it was not kept
  // Why no skeleton was kept: its bytes were too many, or its layout could not be read for sure.
  enum class Unkept { Unknown, TooLarge, Unreadable } unkept = Unkept::Unknown;
};

// What an undo needs of the archive open at fd, whose one entry book (opened on it) describes.
ArrivedArchive DescribeArrival(const ZippedBook& book, int fd);

// The record's fields for it, and back; unknown when they cannot be read.
QList<QByteArray> ArrivalFields(const ArrivedArchive& arrived);
ArrivedArchive ArrivalFromFields(const QList<QByteArray>& fields);

// How an archive was rebuilt.
enum class Rebuilt {
  Exact,       // byte for byte the archive the book arrived in
  EntryExact,  // the same entry (name, bytes, CRC, time) in the program's own layout
  Failed,      // the file at the target is not what the run left there, or it could not be read
};

// Whether the file open at from is still what the run left at the target: the archive it repacked
// the book into (fromArchive; its one entry entryName with the arrival's CRC, sizes and method, and
// compressed bytes that give the entry back; *data gets where they begin) or the book it unpacked
// (the arrival's size and digest).
bool IsRunsFile(const ArrivedArchive& arrived, int from, bool fromArchive, const QByteArray& entryName,
                quint64* data);

// Whether the file at path is the archive the book arrived in: byte for byte (archive is its size
// and digest), or rebuilt with the very entry the run unpacked.
bool HoldsArrivedEntry(const QString& path, const ArrivedArchive& arrived, const BookDigest& archive);

// Why an archive came back Rebuilt::EntryExact, from what the record kept of it.
QString EntryExactReason(const ArrivedArchive& arrived, bool fromArchive);

// Writes to out the archive the book arrived in, from what the run left at the target, open at
// from: the archive it repacked the book into (fromArchive; its one entry must be entryName with
// the arrival's CRC, sizes and method) or the book it unpacked (its size and digest must be the
// arrival's). Exact when the result's size and digest are archive's, the arrival's; otherwise the
// entry-exact archive. *reason says why it failed; an error of out is its errno in *error.
Rebuilt RebuildArrivedArchive(const ArrivedArchive& arrived, const BookDigest& archive, int from,
                              bool fromArchive, const QByteArray& entryName, int out, int* error);
