#pragma once

// Books that arrive packed, one .fb2 in a .fb2.zip: judged while they are inflated, then put in
// place as the run decides, without a temporary copy of the book.

#include <QString>

#include "engine/book_files.h"
#include "engine/file_ops.h"

class TXSDValidator;
class TZipWriter;
struct ArrivedArchive;

// XMLValid for a list item: a plain book, or the book inside a .fb2.zip. An archive that is not
// a book (several entries, an entry in a folder, encrypted, another method, damaged, a bomb) gives
// kSourceFailed with the reason as the validator's error text.
int CheckListedBook(TXSDValidator& validator, const QString& path);

// Extracts the book of archive to destination, never replacing a file there, and removes the
// archive once the book is complete, its CRC-32 checked and on disk under its name. judged is the
// archive's identity when its book was judged: an archive replaced or rewritten since then is kept,
// as its book was never judged. False with *reason when it did not: the archive is then as it was
// and nothing is left at destination.
// True with *reason when the book is in place but the archive stayed (it changed meanwhile, or
// could not be removed).
// arrived, when set, hears what an undo needs of the archive (see engine/undo_archive.h) just
// before the book is published.
bool UnpackZippedBook(const QString& archive, const QString& destination, const FileStamp& judged,
                      QString* reason, const ArrivalObserver& arrived = {});

// Writes destination + ".zip", one entry named after destination holding the archive's entry's
// compressed bytes as they stand, and removes the archive once the new one is in place. judged as
// for unpacking; the bytes copied are inflated on the way and must give the entry's CRC-32. False
// with *reason when it did not: the archive is then as it was and no new archive is left.
// A name taken meanwhile is a failure of this book only; the writer's other errors pass through,
// as for packing a book. True with *reason as for unpacking.
bool RepackZippedBook(TZipWriter& zip, const QString& archive, const QString& destination,
                      const FileStamp& judged, QString* reason, const ArrivalObserver& arrived = {});
