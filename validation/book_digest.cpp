#include "validation/book_digest.h"

#include "base/native_name.h"

#define XXH_INLINE_ALL
#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <QFile>
#include <cerrno>

struct BookDigester::State {
  XXH3_state_t xxh;
};

BookDigester::BookDigester() : state_(std::make_unique<State>()) { XXH3_64bits_reset(&state_->xxh); }

BookDigester::~BookDigester() = default;

void BookDigester::Add(const void* data, size_t size) {
  XXH3_64bits_update(&state_->xxh, data, size);
  size_ += static_cast<qint64>(size);
}

void BookDigester::Reset() {
  XXH3_64bits_reset(&state_->xxh);
  size_ = 0;
}

BookDigest BookDigester::Result() const {
  BookDigest digest;
  digest.known = true;
  digest.size = size_;
  digest.hash = XXH3_64bits_digest(&state_->xxh);
  return digest;
}

BookDigest DigestOfOpenFile(int fd) {
  BookDigester digester;
  std::unique_ptr<char[]> block(new char[1 << 18]);
  for (;;) {
    const ssize_t got = ::read(fd, block.get(), 1 << 18);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {};
    if (got == 0) break;
    digester.Add(block.get(), static_cast<size_t>(got));
  }
  return digester.Result();
}

BookDigest DigestOfFile(const QString& path) {
  const int fd = ::open(NativeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  const BookDigest digest = DigestOfOpenFile(fd);
  ::close(fd);
  return digest;
}
