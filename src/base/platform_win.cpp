// The platform module for Windows: the wide-character (UTF-16) file calls,
// so that every name reaches the file system as the Unicode text it is,
// whatever the ANSI code page of the machine, and binary streams, so that
// each line ends in exactly one CR LF.
#include "base/platform.h"

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
#include <algorithm>
#include <cstring>
#include <utility>

#include "base/names.h"

// The C runtime's own parser of the command line, in its wide form: the same
// rules that made argv. mingw-w64 declares it in no public header.
struct StartupInfo {
  int newMode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                                      StartupInfo* info);

namespace quillex::platform {
namespace {

// _read and _write take an unsigned count; stay far below its limit.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
// Writes in 1 MiB calls, as on the other platforms.
constexpr std::size_t kWriteChunk = std::size_t{1} << 20;

std::wstring Wide(std::string_view utf8);

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
  // A file where a folder of the path should be: the system says the path
  // is not found; Linux, as the tool does, says it is not a folder.
  if (error == ENOENT && !path.empty()) {
    for (std::size_t at = path.find_first_of("\\/"); at != std::string::npos; at = path.find_first_of("\\/", at + 1)) {
      const std::string folder = path.substr(0, at);
      if (folder.empty() || folder.back() == ':') continue;
      const DWORD attributes = ::GetFileAttributesW(Wide(folder).c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) break;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Status{ENOTDIR};
    }
  }
  return Status{error};
}

Status FromErrno() { return Status{errno}; }

// The error of a failed system call, as the C runtime would report it.
Status FromLastError() {
  switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return Status{ENOENT};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return Status{EACCES};
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_PARAMETER:
      return Status{EINVAL};
    case ERROR_FILENAME_EXCED_RANGE:
      return Status{ENAMETOOLONG};
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Status{ENOSPC};
    case ERROR_WRITE_PROTECT:
      return Status{EROFS};
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return Status{ENOMEM};
    case ERROR_INVALID_HANDLE:
      return Status{EBADF};
    default:
      return Status{EIO};
  }
}

// A path of the tool (UTF-8) as the system's wide calls take it.
std::wstring Wide(std::string_view utf8) {
  const std::u16string units = Utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());
}

// Windows refuses a file path of MAX_PATH characters or more, a folder path
// of MAX_PATH - 12 or more, and a name of more than 255, whatever the file
// system below would take (Wine, for one, takes more). The limits are
// checked here so that a run is the same wherever it runs, and a name too
// long is told apart from a missing folder. The limits count UTF-16 units.
bool TooLong(const std::wstring& path, bool folder) {
  const std::size_t limit = folder ? MAX_PATH - 12 : MAX_PATH;
  if (path.size() >= limit) return true;  // the full path is only longer
  std::size_t name = 0;
  for (wchar_t c : path) {
    name = c == L'\\' || c == L'/' ? 0 : name + 1;
    if (name > 255) return true;
  }
  wchar_t full[MAX_PATH + 1];
  // The length, or when it does not fit, the room it needs: both compare.
  const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH + 1, full, nullptr);
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

std::vector<std::string> Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo info{0};
  // No wildcard expansion, as for argv. The call fails only when memory
  // runs out at start; argv is all there is then.
  if (::__wgetmainargs(&count, &wide, &environment, 0, &info) < 0 || wide == nullptr) {
    return {argv, argv + argc};
  }
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) {
    const wchar_t* arg = wide[i];
    std::u16string units;
    for (; *arg != L'\0'; ++arg) units += static_cast<char16_t>(*arg);
    args.push_back(Utf16ToUtf8(units));
  }
  return args;
}

Status WriteText(std::FILE* stream, std::string_view text) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) {
    if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() || std::fflush(stream) != 0) {
      return FromErrno();
    }
    return {};
  }
  // A console window shows UTF-16 whatever its code page. Whatever the
  // stream still holds goes first.
  if (std::fflush(stream) != 0) return FromErrno();
  const std::wstring wide = Wide(text);
  // Moderate pieces, never splitting a surrogate pair between two calls.
  constexpr std::size_t kConsoleChunk = 8192;
  std::size_t done = 0;
  while (done < wide.size()) {
    std::size_t want = std::min(wide.size() - done, kConsoleChunk);
    if (done + want < wide.size() && wide[done + want - 1] >= 0xD800 && wide[done + want - 1] <= 0xDBFF) --want;
    DWORD written = 0;
    if (!::WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(want), &written, nullptr)) {
      return FromLastError();
    }
    if (written == 0) return Status{EIO};
    done += written;
  }
  return {};
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
  const int fd = ::_wopen(Wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) return FromErrno(path);
  file.fd_ = fd;
  return {};
}

Status CreateFile(const std::string& path, File& file) {
  file = File();
  const std::wstring wide = Wide(path);
  if (TooLong(wide, false)) return Status{ENAMETOOLONG};
  ::SetLastError(0);
  const int fd = ::_wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
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
  const std::wstring wide = Wide(path);
  if (TooLong(wide, true)) return Status{ENAMETOOLONG};
  ::SetLastError(0);
  if (::_wmkdir(wide.c_str()) != 0) return FromErrno(std::string());
  return {};
}

namespace {

// A FILETIME as one count of 100 ns ticks, and back.
std::int64_t Ticks(const FILETIME& f) {
  return static_cast<std::int64_t>((std::uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime);
}

FILETIME FromTicks(std::int64_t ticks) {
  const auto bits = static_cast<std::uint64_t>(ticks);
  return {static_cast<DWORD>(bits), static_cast<DWORD>(bits >> 32)};
}

// The machine zone's offset from UTC at a moment, in ticks.
bool OffsetAt(std::int64_t moment, std::int64_t& offset) {
  const FILETIME universal = FromTicks(moment);
  SYSTEMTIME u{}, l{};
  FILETIME local{};
  if (!::FileTimeToSystemTime(&universal, &u) || !::SystemTimeToTzSpecificLocalTime(nullptr, &u, &l) ||
      !::SystemTimeToFileTime(&l, &local)) {
    return false;
  }
  offset = Ticks(local) - moment;
  return true;
}

// A local time of the image as the moment it names, by the zone and the
// daylight saving rules of this machine for that date. Where the clock is
// set back a wall time names two moments, and where it jumps ahead none:
// of two, the earlier; a skipped time is read with the offset in force
// before the jump (02:30 as 03:30 summer time), as on the other platforms.
bool ToFileTime(const LocalTime& t, FILETIME& out) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(t.year);
  local.wMonth = static_cast<WORD>(t.month);
  local.wDay = static_cast<WORD>(t.day);
  local.wHour = static_cast<WORD>(t.hour);
  local.wMinute = static_cast<WORD>(t.minute);
  local.wSecond = static_cast<WORD>(t.second);
  local.wMilliseconds = static_cast<WORD>(t.centiseconds * 10);
  FILETIME fields{};
  if (!::SystemTimeToFileTime(&local, &fields)) return false;
  const std::int64_t wall = Ticks(fields);  // the fields as if UTC
  // Every reading lies within 14 hours of that, and the offsets a day
  // earlier and a day later are those on either side of any change of the
  // clock in between (no zone changes twice in two days).
  constexpr std::int64_t kDay = 24LL * 60 * 60 * 10'000'000;
  std::int64_t before = 0, after = 0, firstOffset = 0, secondOffset = 0;
  if (!OffsetAt(wall - kDay, before) || !OffsetAt(wall + kDay, after)) return false;
  if (before == after) {  // no change of the clock near: the usual case
    out = FromTicks(wall - before);
    return true;
  }
  // A reading fits when the zone has that offset at the moment it gives.
  const std::int64_t first = wall - before;
  const std::int64_t second = wall - after;
  const bool firstFits = OffsetAt(first, firstOffset) && firstOffset == before;
  const bool secondFits = OffsetAt(second, secondOffset) && secondOffset == after;
  std::int64_t moment = first;  // neither fits: a skipped time
  if (firstFits && secondFits) {
    moment = std::min(first, second);
  } else if (secondFits) {
    moment = second;
  }
  out = FromTicks(moment);
  return true;
}

}  // namespace

namespace {

// The times on an open handle; a time not set is left alone.
Status SetHandleTimes(HANDLE handle, const FileTimes& times) {
  FILETIME created{}, accessed{}, modified{};
  if ((times.hasCreated && !ToFileTime(times.created, created)) ||
      (times.hasAccessed && !ToFileTime(times.accessed, accessed)) ||
      (times.hasModified && !ToFileTime(times.modified, modified))) {
    return FromLastError();
  }
  if (!::SetFileTime(handle, times.hasCreated ? &created : nullptr, times.hasAccessed ? &accessed : nullptr,
                     times.hasModified ? &modified : nullptr)) {
    return FromLastError();
  }
  return {};
}

bool AnyTime(const FileTimes& times) { return times.hasModified || times.hasAccessed || times.hasCreated; }

}  // namespace

Status SetTimes(const std::string& path, const FileTimes& times) {
  if (!AnyTime(times)) return {};
  // Attribute rights alone, shared with every other use; backup semantics
  // open a directory too.
  const HANDLE handle = ::CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FromLastError();
  Status status = SetHandleTimes(handle, times);
  if (!::CloseHandle(handle) && status.ok()) status = FromLastError();
  return status;
}

Status SetTimes(File& file, const FileTimes& times) {
  if (!AnyTime(times)) return {};
  // The C runtime's writes are unbuffered: nothing written later moves them.
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(file.fd_));
  if (handle == INVALID_HANDLE_VALUE) return Status{EBADF};
  return SetHandleTimes(handle, times);
}

struct Worker::State {
  std::function<void()> work;
  HANDLE thread = nullptr;
  static DWORD WINAPI Run(LPVOID self) {
    static_cast<State*>(self)->work();
    return 0;
  }
};

Worker::Worker() : state_(std::make_unique<State>()) {}
Worker::~Worker() { Join(); }

void Worker::Start(std::function<void()> work) {
  Join();
  state_->work = std::move(work);
  state_->thread = ::CreateThread(nullptr, 0, &State::Run, state_.get(), 0, nullptr);
  // Without a thread of its own, the work is done at once.
  if (state_->thread == nullptr) state_->work();
}

void Worker::Join() {
  if (state_->thread == nullptr) return;
  ::WaitForSingleObject(state_->thread, INFINITE);
  ::CloseHandle(state_->thread);
  state_->thread = nullptr;
}

std::int64_t UnixTime(const LocalTime& time) {
  FILETIME moment{};
  if (!ToFileTime(time, moment)) return 0;
  const std::uint64_t ticks = (std::uint64_t{moment.dwHighDateTime} << 32) | moment.dwLowDateTime;
  // FILETIME counts 100 ns from 1601; 11644473600 s lie between the two epochs.
  return static_cast<std::int64_t>(ticks / 10'000'000) - 11'644'473'600LL;
}

Status CurrentDirectory(std::string& path) {
  const DWORD length = ::GetCurrentDirectoryW(0, nullptr);
  if (length == 0) return FromLastError();
  std::wstring wide(length, L'\0');
  const DWORD got = ::GetCurrentDirectoryW(length, wide.data());
  if (got == 0 || got >= length) return FromLastError();
  wide.resize(got);
  path = Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
  return {};
}

Status ChangeDirectory(const std::string& path) {
  if (!::SetCurrentDirectoryW(Wide(path).c_str())) return FromLastError();
  return {};
}

bool IsAbsolute(const std::string& path) {
  // "C:\x", "C:/x", "\\server\share" and "\x" (the drive's root).
  return (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) || (!path.empty() && IsSeparator(path[0]));
}

bool IsTerminal(std::FILE* stream) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

bool IsDirectory(const std::string& path) {
  // Not _stat: it fails on a path that ends in a separator, like the
  // extraction folder of a unit mounted at "/".
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::string& path) { return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

Status ListFolder(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(Wide(path + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return FromLastError();
  do {
    const std::wstring wide = found.cFileName;
    const std::string name = Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return {};
}

Status Rename(const std::string& from, const std::string& to) {
  if (!::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return FromLastError();
  return {};
}

Status RemoveAll(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};
  // A read-only file or folder is removed too: it is the tool's own output.
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    ::SetFileAttributesW(wide.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    std::vector<std::string> names;
    if (Status st = ListFolder(path, names); !st.ok()) return st;
    for (const std::string& name : names) {
      if (Status st = RemoveAll(path + "\\" + name); !st.ok()) return st;
    }
    if (!::RemoveDirectoryW(wide.c_str())) return FromLastError();
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? !::RemoveDirectoryW(wide.c_str())
                                                          : !::DeleteFileW(wide.c_str())) {
    return FromLastError();
  }
  return {};
}

}  // namespace quillex::platform
