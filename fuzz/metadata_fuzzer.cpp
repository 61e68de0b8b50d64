// Metadata extraction on arbitrary bytes: a result or FictionBookError, nothing else.

#include "fictionbook/book_info.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString path = fuzz::WriteInput(data, size, ".fb2");
  try {
    (void)ReadBookInfo(path, false, nullptr);
  } catch (const FictionBookError&) {
  }
  return 0;
}
