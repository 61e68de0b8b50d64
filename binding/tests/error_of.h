#pragma once

#include <functional>
#include <string>

#include "fictionbook/book_info.h"

// The message of the ShelvioError that action throws, or "no error".
inline std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ShelvioError& error) {
    return error.Message().toStdString();
  }
  return "no error";
}
