// The exceptions every component raises. A failure carries the message the
// user sees in the error report; the kinds below exist so that a caller can
// tell them apart where it matters (an I/O error's code, a list index).
#pragma once

#include <stdexcept>
#include <string>

namespace base {

// The root of the program's own failures. what() is the message, unchanged.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// "List index out of bounds (%d)", %d being the 0-based index asked for.
class EListError : public Exception {
public:
    explicit EListError(int index);
};

// Signed 32-bit arithmetic that would overflow.
class EIntOverflow : public Exception {
public:
    EIntOverflow() : Exception("Integer overflow") {}
};

// A value outside the range its target accepts.
class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
};

// A file operation that failed; Code is the run-time library's I/O code
// (2 file not found, 3 invalid filename, 5 access denied, 101 disk full...).
class EInOutError : public Exception {
public:
    explicit EInOutError(int code);
    int ErrorCode = 0;
    // The message the run-time library gives for a code.
    static std::string MessageFor(int code);
    // Maps an errno value onto the run-time library's I/O code.
    static int CodeFromErrno(int err);
};

// "Cannot open file %s" and its kin, raised by file streams.
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};

// Builds the text of the standard error report: the message with a full stop
// added when it does not already end in one.
std::string ErrorReportText(const std::string& message);

}  // namespace base
