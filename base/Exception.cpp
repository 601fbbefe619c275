#include "base/Exception.h"

#include <cerrno>

namespace base {

EListError::EListError(int index)
    : Exception("List index out of bounds (" + std::to_string(index) + ")") {}

EInOutError::EInOutError(int code) : Exception(MessageFor(code)), ErrorCode(code) {}

std::string EInOutError::MessageFor(int code) {
    switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    case 100: return "Read beyond end of file";
    case 101: return "Disk full";
    case 106: return "Invalid numeric input";
    default: return "I/O error " + std::to_string(code);
    }
}

int EInOutError::CodeFromErrno(int err) {
    switch (err) {
    case 0: return 0;
    case ENOENT: return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EISDIR:
    case ELOOP:
    case EINVAL: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EBUSY: return 5;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return 101;
    case EIO:
    case EINTR: return 29;  // a write fault, so it never reads as a known small code
    default: return err;
    }
}

std::string ErrorReportText(const std::string& message) {
    if (!message.empty() && message.back() == '.') return message;
    return message + ".";
}

}  // namespace base
