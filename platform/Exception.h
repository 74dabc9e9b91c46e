#pragma once
// Base of the system's exceptions: carries a message text.

#include <exception>
#include <string>
#include <utility>

namespace quellmarin {

class Exception : public std::exception {
public:
  explicit Exception(std::string Message = {}) : FMessage(std::move(Message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
};

}  // namespace quellmarin
