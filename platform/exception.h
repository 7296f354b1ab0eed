// The program's error types all derive from Exception and carry one message text.
#pragma once

#include <exception>
#include <string>

#include "platform/text.h"

namespace kelvo {

class Exception : public std::exception {
 public:
  explicit Exception(std::u16string message) : message_(std::move(message)), utf8_(ToUtf8(message_)) {}

  const std::u16string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return utf8_.c_str(); }

 private:
  std::u16string message_;
  std::string utf8_;
};

}  // namespace kelvo
