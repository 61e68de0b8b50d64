// The validator on arbitrary bytes with the real schema: a verdict of 0, 1 or 2, the same on every
// path (the tree, the whole stream, the stream to the first complaint), and for a valid book the
// metadata read from the validator's own tree.

#include <memory>

#include "fictionbook/book_info.h"
#include "fuzz_support.h"
#include "validation/xsd_validator.h"

namespace {
std::unique_ptr<TXSDValidator> validator;
std::unique_ptr<TXSDValidator> streaming;
std::unique_ptr<TXSDValidator> toComplaint;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* fls = std::getenv("SHELVIO_FLS_DIR");
  validator = std::make_unique<TXSDValidator>();
  const QString schema = QString::fromLocal8Bit(fls ? fls : "fls") + QStringLiteral("/FictionBook.xsd");
  if (!validator->LoadSchema(schema)) fuzz::Finding("the schema does not load (set SHELVIO_FLS_DIR)");
  streaming = std::make_unique<TXSDValidator>();
  streaming->ShareSchema(*validator);
  streaming->SetTreeBudget(0);
  toComplaint = std::make_unique<TXSDValidator>();
  toComplaint->ShareSchema(*validator);
  toComplaint->SetStopAtFirstComplaint(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString path = fuzz::WriteInput(data, size, ".fb2");
  const int verdict = XMLValid(*validator, path);
  if (verdict < 0 || verdict > 2) fuzz::Finding("a verdict outside 0..2");
  if (XMLValid(*streaming, path) != verdict) fuzz::Finding("the stream and the tree part");
  if (XMLValid(*toComplaint, path) != verdict)
    fuzz::Finding("the stream to the first complaint and the tree part");
  if (verdict == 0) {
    const _xmlDoc* tree = LoadedBookTree(*validator);
    if (!tree) fuzz::Finding("a valid book without its tree");
    try {
      (void)ReadBookInfo(*tree, false, nullptr);
    } catch (const ShelvioError& error) {
      // Any other kind is not the reader's to throw: uncaught, it aborts the fuzzer as a finding.
      if (error.GetKind() != ShelvioError::Kind::Metadata) throw;
    }
  }
  return 0;
}
