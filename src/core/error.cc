#include "core/error.h"

#include <cstring>
#include <string>

namespace vorpel {

CoreError CoreError::io_errno(int os_error) {
  return io(std::string(std::strerror(os_error)) + " (os error " + std::to_string(os_error) + ")");
}

std::string CoreError::text() const {
  switch (kind_) {
    case ErrorKind::InvalidUtf8:
      return "invalid UTF-8: invalid utf-8 sequence";
    case ErrorKind::Io:
      return "I/O error: " + message_;
    case ErrorKind::Plan:
      return "plan error: " + message_;
    case ErrorKind::MemoryBudgetExceeded:
      return "memory budget exceeded: " + std::to_string(used_) + " bytes used, limit " +
             std::to_string(limit_) + " bytes";
    case ErrorKind::Merge:
      return "merge error: " + message_;
    case ErrorKind::Arrow:
      return "Arrow error: " + message_;
    case ErrorKind::Parser:
      return "parser error: " + message_;
    case ErrorKind::Lifetime:
      return "lifetime error: " + message_;
  }
  return message_;
}

}  // namespace vorpel
