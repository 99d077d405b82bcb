#include "base/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace quillex::platform {
namespace {

// One read call moves at most this much; Linux caps a call below 2 GiB.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Writes go out in pieces of this size. One call of many MiB is often ten
// times slower on Linux than the same bytes in 1 MiB calls (measured: 96 MiB
// in 0.30 s against 0.03 s), since the kernel then reaches for large page
// cache folios; smaller pieces only add calls.
constexpr std::size_t kWriteChunk = std::size_t{1} << 20;

Status FromErrno() { return Status{errno}; }

}  // namespace

void PrepareProcess() {
  std::signal(SIGXFSZ, SIG_IGN);
  // Without TZ the C library may look at /etc/localtime again at every time
  // conversion, one stat per time set; naming that same file settles the
  // zone once.
  (void)::setenv("TZ", ":/etc/localtime", /*overwrite=*/0);
}

std::vector<std::string> Arguments(int argc, char** argv) { return {argv, argv + argc}; }

Status WriteText(std::FILE* stream, std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() || std::fflush(stream) != 0) {
    return FromErrno();
  }
  return {};
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Status OpenForReading(const std::string& path, File& file) {
  file = File();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno();
  file.fd_ = fd;
  return {};
}

Status CreateFile(const std::string& path, File& file) {
  file = File();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return FromErrno();
  file.fd_ = fd;
  return {};
}

Status FileSize(File& file, std::uint64_t& size) {
  struct stat info {};
  if (::fstat(file.fd_, &info) != 0) return FromErrno();
  size = static_cast<std::uint64_t>(info.st_size);
  return {};
}

Status ReadFully(File& file, std::uint8_t* buffer, std::size_t count, std::size_t& got) {
  got = 0;
  while (got < count) {
    std::size_t want = count - got < kMaxTransfer ? count - got : kMaxTransfer;
    ssize_t n = ::read(file.fd_, buffer + got, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno();
    }
    if (n == 0) break;  // end of file
    got += static_cast<std::size_t>(n);
  }
  return {};
}

Status SetPosition(File& file, std::uint64_t position) {
  if (::lseek(file.fd_, static_cast<off_t>(position), SEEK_SET) < 0) return FromErrno();
  return {};
}

Status WriteAll(File& file, const void* data, std::size_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (count > 0) {
    std::size_t want = count < kWriteChunk ? count : kWriteChunk;
    ssize_t n = ::write(file.fd_, bytes, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno();
    }
    if (n == 0) return Status{ENOSPC};
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return {};
}

Status WriteAt(File& file, std::uint64_t offset, const void* data, std::size_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (count > 0) {
    std::size_t want = count < kWriteChunk ? count : kWriteChunk;
    ssize_t n = ::pwrite(file.fd_, bytes, want, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno();
    }
    if (n == 0) return Status{ENOSPC};
    bytes += n;
    offset += static_cast<std::uint64_t>(n);
    count -= static_cast<std::size_t>(n);
  }
  return {};
}

namespace {

// Writes the pieces through write(iov, count) -> bytes stored or -1, going
// on after partial writes; a call that stores nothing is a full disk.
template <typename Call>
Status WritePieces(std::span<const Piece> pieces, Call call) {
  static_assert(kMaxPieces <= IOV_MAX);
  if (pieces.size() > kMaxPieces) return Status{EINVAL};
  iovec iov[kMaxPieces];
  std::size_t count = 0;
  for (const Piece& p : pieces) {
    if (p.size == 0) continue;
    iov[count++] = {const_cast<void*>(p.data), p.size};
  }
  iovec* next = iov;
  while (count > 0) {
    ssize_t n = call(next, static_cast<int>(count));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno();
    }
    if (n == 0) return Status{ENOSPC};
    auto stored = static_cast<std::size_t>(n);
    while (count > 0 && stored >= next->iov_len) {
      stored -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + stored;
      next->iov_len -= stored;
    }
  }
  return {};
}

}  // namespace

Status WriteGathered(File& file, std::span<const Piece> pieces) {
  return WritePieces(pieces, [&](const iovec* iov, int count) { return ::writev(file.fd_, iov, count); });
}

Status WriteAtGathered(File& file, std::uint64_t offset, std::span<const Piece> pieces) {
  return WritePieces(pieces, [&](const iovec* iov, int count) {
    ssize_t n = ::pwritev(file.fd_, iov, count, static_cast<off_t>(offset));
    if (n > 0) offset += static_cast<std::uint64_t>(n);
    return n;
  });
}

Status SetLength(File& file, std::uint64_t length) {
  if (::ftruncate(file.fd_, static_cast<off_t>(length)) != 0) return FromErrno();
  return {};
}

Status Close(File& file) {
  if (file.fd_ < 0) return {};
  int fd = std::exchange(file.fd_, -1);
  if (::close(fd) != 0) return FromErrno();
  return {};
}

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

std::uint8_t* AllocateZeroed(std::size_t size) {
  if (size < kHugePage) return static_cast<std::uint8_t*>(std::calloc(size == 0 ? 1 : size, 1));
  // Fresh anonymous pages are zero; no clearing pass is needed.
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  (void)::madvise(p, size, MADV_HUGEPAGE);  // only advice: fine if refused
  return static_cast<std::uint8_t*>(p);
}

void FreeZeroed(std::uint8_t* data, std::size_t size) {
  if (data == nullptr) return;
  if (size < kHugePage) {
    std::free(data);
  } else {
    ::munmap(data, size);
  }
}

Status MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) return FromErrno();
  return {};
}

namespace {

// The machine zone's offset from UTC at a moment, in seconds.
long OffsetAt(std::time_t moment) {
  std::tm tm{};
  return ::localtime_r(&moment, &tm) != nullptr ? tm.tm_gmtoff : 0;
}

// The moment a local time names, in the machine's zone. Where the clock is
// set back a wall time names two moments, and where it jumps ahead none;
// mktime's choice there hangs on what it converted last, so one rule is
// applied instead: of two, the earlier; a skipped time is read with the
// offset in force before the jump (02:30 as 03:30 summer time).
timespec FromLocal(const LocalTime& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  const std::time_t wall = ::timegm(&tm);  // the fields as if UTC
  // Every reading lies within 14 hours of that, and the offsets a day
  // earlier and a day later are those on either side of any change of the
  // clock in between (no zone changes twice in two days).
  constexpr std::time_t kDay = 24 * 60 * 60;
  const long before = OffsetAt(wall - kDay);
  const long after = OffsetAt(wall + kDay);
  if (before == after) return {wall - before, static_cast<long>(t.centiseconds) * 10'000'000L};  // the usual case
  // A reading fits when the zone has that offset at the moment it gives.
  const std::time_t first = wall - before;
  const std::time_t second = wall - after;
  const bool firstFits = OffsetAt(first) == before;
  const bool secondFits = OffsetAt(second) == after;
  std::time_t moment = first;  // neither fits: a skipped time
  if (firstFits && secondFits) {
    moment = std::min(first, second);
  } else if (secondFits) {
    moment = second;
  }
  return {moment, static_cast<long>(t.centiseconds) * 10'000'000L};
}

// access, modification; a time not set is left alone.
struct TimePair {
  timespec both[2];
  bool any;
};

TimePair ToTimePair(const FileTimes& times) {
  return {{times.hasAccessed ? FromLocal(times.accessed) : timespec{0, UTIME_OMIT},
           times.hasModified ? FromLocal(times.modified) : timespec{0, UTIME_OMIT}},
          times.hasAccessed || times.hasModified};
}

}  // namespace

Status SetTimes(const std::string& path, const FileTimes& times) {
  const TimePair pair = ToTimePair(times);
  if (pair.any && ::utimensat(AT_FDCWD, path.c_str(), pair.both, 0) != 0) return FromErrno();
  return {};
}

Status SetTimes(File& file, const FileTimes& times) {
  const TimePair pair = ToTimePair(times);
  if (pair.any && ::futimens(file.fd_, pair.both) != 0) return FromErrno();
  return {};
}

struct Worker::State {
  std::thread thread;
};

Worker::Worker() : state_(std::make_unique<State>()) {}
Worker::~Worker() { Join(); }

void Worker::Start(std::function<void()> work) {
  Join();
  state_->thread = std::thread(std::move(work));
}

void Worker::Join() {
  if (state_->thread.joinable()) state_->thread.join();
}

std::int64_t UnixTime(const LocalTime& time) { return FromLocal(time).tv_sec; }

Status CurrentDirectory(std::string& path) {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return FromErrno();
    buffer.resize(buffer.size() * 2);
  }
  path = buffer.data();
  return {};
}

Status ChangeDirectory(const std::string& path) {
  if (::chdir(path.c_str()) != 0) return FromErrno();
  return {};
}

bool IsAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

Status ListFolder(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return FromErrno();
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(folder);
  return {};
}

Status Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return FromErrno();
  return {};
}

Status RemoveAll(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT ? Status{} : FromErrno();
  if (S_ISDIR(info.st_mode)) {
    std::vector<std::string> names;
    if (Status st = ListFolder(path, names); !st.ok()) return st;
    for (const std::string& name : names) {
      if (Status st = RemoveAll(path + "/" + name); !st.ok()) return st;
    }
    if (::rmdir(path.c_str()) != 0) return FromErrno();
  } else if (::unlink(path.c_str()) != 0) {
    return FromErrno();
  }
  return {};
}

}  // namespace quillex::platform
