// The errors the logic raises for a window's handler to show: each ends the
// handler that ran into it, and the error display in ui/ catches them.
#pragma once

#include <stdexcept>
#include <string>

// The message is kept whole: what() would end it at a NUL character that an
// operator pasted into a field.
struct EHandlerError : std::runtime_error {
    explicit EHandlerError(const std::string& message) : std::runtime_error(message), text(message) {}
    std::string text;
};

// An input/output failure (data log file steps, the port).
struct EInOutError : EHandlerError {
    using EHandlerError::EHandlerError;
};

// A text that does not convert to a whole number.
struct EConvertError : EHandlerError {
    using EHandlerError::EHandlerError;
};
