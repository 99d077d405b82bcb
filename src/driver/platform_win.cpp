// The platform module for Windows: the C runtime's byte-string (ANSI) file
// calls, so names from the image reach the file system byte for byte, and
// binary streams, so that each line ends in exactly one CR LF.
#include "driver/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef CreateFile  // the system's macro would rename ours

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quillex::platform {
namespace {

// _read and _write take an unsigned count; stay far below its limit.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
// Writes in 1 MiB calls, as on the other platforms.
constexpr std::size_t kWriteChunk = std::size_t{1} << 20;

// The C runtime folds several system errors into ENOENT or EACCES. Names the
// system refuses as names (a ":" or a device in the path, too long a path)
// and a file that would replace a directory are told apart here, so that
// callers can treat them as faults of one name rather than of the disk.
Status FromErrno(const std::string& path) {
  const int error = errno;
  switch (::GetLastError()) {
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
      return Status{EINVAL};
    case ERROR_FILENAME_EXCED_RANGE:
      return Status{ENAMETOOLONG};
    default:
      break;
  }
  if (error == EACCES && !path.empty() && IsDirectory(path)) return Status{EISDIR};
  return Status{error};
}

Status FromErrno() { return Status{errno}; }

// Windows refuses a file path of MAX_PATH characters or more, a folder path
// of MAX_PATH - 12 or more, and a name of more than 255, whatever the file
// system below would take (Wine, for one, takes more). The limits are
// checked here so that a run is the same wherever it runs, and a name too
// long is told apart from a missing folder.
bool TooLong(const std::string& path, bool folder) {
  const std::size_t limit = folder ? MAX_PATH - 12 : MAX_PATH;
  if (path.size() >= limit) return true;  // the full path is only longer
  std::size_t name = 0;
  for (char c : path) {
    name = c == '\\' || c == '/' ? 0 : name + 1;
    if (name > 255) return true;
  }
  char full[MAX_PATH + 1];
  // The length, or when it does not fit, the room it needs: both compare.
  const DWORD length = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0) return ::GetLastError() == ERROR_FILENAME_EXCED_RANGE;
  return length >= limit;
}

Status WriteBytes(int fd, const void* data, std::size_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (count > 0) {
    const std::size_t want = count < kWriteChunk ? count : kWriteChunk;
    const int n = ::_write(fd, bytes, static_cast<unsigned>(want));
    if (n < 0) return FromErrno();
    if (n == 0) return Status{ENOSPC};
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

void PrepareProcess() {
  // Lines carry their own CR LF: text mode would add a second CR.
  (void)::_setmode(::_fileno(stdout), _O_BINARY);
  (void)::_setmode(::_fileno(stderr), _O_BINARY);
  (void)::_setmode(::_fileno(stdin), _O_BINARY);
  // A failing drive is reported as an error, not in a dialog box.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::_close(fd_);
}

Status OpenForReading(const std::string& path, File& file) {
  file = File();
  ::SetLastError(0);
  const int fd = ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) return FromErrno(path);
  file.fd_ = fd;
  return {};
}

Status CreateFile(const std::string& path, File& file) {
  file = File();
  if (TooLong(path, false)) return Status{ENAMETOOLONG};
  ::SetLastError(0);
  const int fd = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
  if (fd < 0) return FromErrno(path);
  file.fd_ = fd;
  return {};
}

Status FileSize(File& file, std::uint64_t& size) {
  struct _stati64 info {};
  if (::_fstati64(file.fd_, &info) != 0) return FromErrno();
  size = static_cast<std::uint64_t>(info.st_size);
  return {};
}

Status ReadFully(File& file, std::uint8_t* buffer, std::size_t count, std::size_t& got) {
  got = 0;
  while (got < count) {
    const std::size_t want = count - got < kMaxTransfer ? count - got : kMaxTransfer;
    const int n = ::_read(file.fd_, buffer + got, static_cast<unsigned>(want));
    if (n < 0) return FromErrno();
    if (n == 0) break;  // end of file
    got += static_cast<std::size_t>(n);
  }
  return {};
}

Status SetPosition(File& file, std::uint64_t position) {
  if (::_lseeki64(file.fd_, static_cast<__int64>(position), SEEK_SET) < 0) return FromErrno();
  return {};
}

Status WriteAll(File& file, const void* data, std::size_t count) { return WriteBytes(file.fd_, data, count); }

// There is no positional write in the C runtime: seek there, write, and put
// the position back.
Status WriteAt(File& file, std::uint64_t offset, const void* data, std::size_t count) {
  const Piece piece{data, count};
  return WriteAtGathered(file, offset, {&piece, 1});
}

Status WriteGathered(File& file, std::span<const Piece> pieces) {
  for (const Piece& p : pieces) {
    if (auto st = WriteBytes(file.fd_, p.data, p.size); !st.ok()) return st;
  }
  return {};
}

Status WriteAtGathered(File& file, std::uint64_t offset, std::span<const Piece> pieces) {
  const __int64 was = ::_telli64(file.fd_);
  if (was < 0) return FromErrno();
  if (::_lseeki64(file.fd_, static_cast<__int64>(offset), SEEK_SET) < 0) return FromErrno();
  Status st = WriteGathered(file, pieces);
  if (::_lseeki64(file.fd_, was, SEEK_SET) < 0 && st.ok()) st = FromErrno();
  return st;
}

Status SetLength(File& file, std::uint64_t length) {
  const errno_t error = ::_chsize_s(file.fd_, static_cast<__int64>(length));
  return Status{error};
}

Status Close(File& file) {
  if (file.fd_ < 0) return {};
  const int fd = std::exchange(file.fd_, -1);
  if (::_close(fd) != 0) return FromErrno();
  return {};
}

namespace {

constexpr std::size_t kLargeBlock = std::size_t{2} << 20;

}  // namespace

std::uint8_t* AllocateZeroed(std::size_t size) {
  if (size < kLargeBlock) return static_cast<std::uint8_t*>(std::calloc(size == 0 ? 1 : size, 1));
  // Committed pages come zeroed from the system; no clearing pass is needed.
  return static_cast<std::uint8_t*>(::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void FreeZeroed(std::uint8_t* data, std::size_t size) {
  if (data == nullptr) return;
  if (size < kLargeBlock) {
    std::free(data);
  } else {
    ::VirtualFree(data, 0, MEM_RELEASE);
  }
}

Status MakeDirectory(const std::string& path) {
  if (TooLong(path, true)) return Status{ENAMETOOLONG};
  ::SetLastError(0);
  if (::_mkdir(path.c_str()) != 0) return FromErrno(std::string());
  return {};
}

bool IsDirectory(const std::string& path) {
  // Not _stat: it fails on a path that ends in a separator, like the
  // extraction folder of a unit mounted at "/".
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace quillex::platform
