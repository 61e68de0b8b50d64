#include "base/error.h"

#include <gtest/gtest.h>

#include <exception>

#include "tests/support/qstring_printer.h"

namespace {

// The window and shelvio-cli know only std::exception when they show an error: a what() in any
// encoding but UTF-8 (the locale's, Latin-1) would garble the Cyrillic messages users read.
TEST(ShelvioError, WhatCarriesTheMessageAsUtf8) {
  const QString message = QStringLiteral("Не удалось создать папку «Книги»");
  try {
    throw ShelvioError(ShelvioError::Kind::Engine, message);
  } catch (const std::exception& error) {
    EXPECT_EQ(QString::fromUtf8(error.what()), message);
  }
}

// Callers handle one layer's failures by the kind and rethrow the rest: a kind lost or swapped on
// the way would keep a book for a failure of the run, or end the run for one book.
TEST(ShelvioError, KeepsItsKindAndMessage) {
  const ShelvioError::Kind kinds[] = {ShelvioError::Kind::Engine, ShelvioError::Kind::Validation,
                                      ShelvioError::Kind::Metadata, ShelvioError::Kind::Archive};
  for (const ShelvioError::Kind kind : kinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    try {
      throw ShelvioError(kind, QStringLiteral("No schema is loaded"));
    } catch (const ShelvioError& error) {
      EXPECT_EQ(error.GetKind(), kind);
      EXPECT_EQ(error.Message(), QStringLiteral("No schema is loaded"));
    }
  }
}

}  // namespace
