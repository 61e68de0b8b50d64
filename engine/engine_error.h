#pragma once

#include <QString>
#include <stdexcept>

// Error of the engine ("Unable to create directory", "Unable to write to %s", ...). The message is
// the text a user sees.
class EngineError : public std::runtime_error {
 public:
  explicit EngineError(const QString& message)
      : std::runtime_error(message.toStdString()), message_(message) {}
  const QString& Message() const { return message_; }

 private:
  QString message_;
};
