#pragma once
#include <stdexcept>
#include <string>

// The one base class of every failure above the byte level. Only the flashing
// workflow catches it; it carries the message text that the user sees.
class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& Msg) : std::runtime_error(Msg) {}
  std::string Message() const { return what(); }
};
