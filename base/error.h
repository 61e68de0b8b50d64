#pragma once

#include <QString>
#include <stdexcept>

// The one exception type of every library. The message is the text a user sees; what() holds it
// as UTF-8 for code that only knows std::exception. The kind tells which layer failed, so that a
// caller can handle one layer's failures and let the others end the run.
class ShelvioError : public std::runtime_error {
 public:
  enum class Kind {
    // A run's setting, folder or settings file: "Unable to create directory", "Unable to write to %s".
    Engine,
    // The validator itself, not a verdict on a book: a schema that does not compile, no schema loaded.
    Validation,
    // A book whose metadata does not load, and the typed binding's own failures.
    Metadata,
    // The archive writer: its native-code errors, compression, and the archive file itself.
    Archive,
  };

  ShelvioError(Kind kind, const QString& message)
      : std::runtime_error(message.toStdString()), kind_(kind), message_(message) {}
  Kind GetKind() const { return kind_; }
  const QString& Message() const { return message_; }

 private:
  Kind kind_;
  QString message_;
};
