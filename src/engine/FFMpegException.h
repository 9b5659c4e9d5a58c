// Exceptions raised by the engine.
#pragma once

#include <stdexcept>
#include <string>

namespace pelorix {

// Configuration and run errors of the engine, each carrying a fixed English message.
class FFMpegException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A number in an option value that does not convert ("'%s' is not a valid integer value").
// Deliberately not an FFMpegException: it reaches the caller of SetOption unchanged.
class TConvertError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A broken precondition of an option value (the tag handlers), told apart from engine errors.
class TAssertionFailure : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

} // namespace pelorix
