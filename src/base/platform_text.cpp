// The texts of the errors the tool reports. The C runtimes word them
// differently ("Filename too long" on Windows, "File name too long" here),
// so the common ones are spelt out: a run reads the same on every platform.
#include <cerrno>
#include <cstring>

#include "base/platform.h"

namespace quillex::platform {

std::string Status::Reason() const {
  switch (error) {
    case ENOENT: return "No such file or directory";
    case EACCES: return "Permission denied";
    case EEXIST: return "File exists";
    case ENOTDIR: return "Not a directory";
    case EISDIR: return "Is a directory";
    case EINVAL: return "Invalid argument";
    case ENOSPC: return "No space left on device";
    case ENAMETOOLONG: return "File name too long";
    case EILSEQ: return "Invalid or incomplete multibyte or wide character";
    case EFBIG: return "File too large";
    case EROFS: return "Read-only file system";
    case EIO: return "Input/output error";
    case ENOMEM: return "Cannot allocate memory";
    case EMFILE: return "Too many open files";
    case EBADF: return "Bad file descriptor";
    default: return std::strerror(error);
  }
}

}  // namespace quillex::platform
