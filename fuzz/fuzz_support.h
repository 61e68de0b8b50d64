#pragma once

// Shared by the fuzz targets: the input as a file on disk, for the layers that read files.

#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

// A file of this process that holds the current input; rewritten for every input.
inline QString WriteInput(const uint8_t* data, size_t size, const char* suffix) {
  // run_fuzzers.sh points SHELVIO_FUZZ_TMP into its build folder and empties it afterwards.
  static const char* const folder = std::getenv("SHELVIO_FUZZ_TMP");
  static const QString path = QStringLiteral("%1/shelvio-fuzz-%2%3")
                                  .arg(QString::fromLocal8Bit(folder ? folder : "/tmp"))
                                  .arg(::getpid())
                                  .arg(QLatin1String(suffix));
  const QByteArray name = path.toLocal8Bit();
  if (FILE* file = std::fopen(name.constData(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  return path;
}

// Stops the run with the finding's description; libFuzzer saves the input that caused it.
[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "finding: %s\n", what);
  std::abort();
}

}  // namespace fuzz
