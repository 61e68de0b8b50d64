// Metadata extraction on arbitrary bytes: a result or ShelvioError, nothing else.

#include "fictionbook/book_info.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString path = fuzz::WriteInput(data, size, ".fb2");
  try {
    (void)ReadBookInfo(path, false, nullptr);
  } catch (const ShelvioError& error) {
    // Any other kind is not the reader's to throw: uncaught, it aborts the fuzzer as a finding.
    if (error.GetKind() != ShelvioError::Kind::Metadata) throw;
  }
  return 0;
}
