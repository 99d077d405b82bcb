// Every file system call of the tool goes through here, so a port to another
// platform changes this module alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillex::platform {

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
// Windows reads "/" in a path as a separator too.
inline constexpr bool IsSeparator(char c) { return c == '\\' || c == '/'; }
#else
inline constexpr char kSeparator = '/';
inline constexpr bool IsSeparator(char c) { return c == '/'; }
#endif

// Called once at start: a write past the process's file size limit is then
// reported as an error (like a full disk) instead of killing the process.
void PrepareProcess();

// The command line as UTF-8 text. On Windows it is read in its wide form, so
// any name the user typed arrives whole, whatever the ANSI code page.
std::vector<std::string> Arguments(int argc, char** argv);

// Outcome of one call: 0, or the platform's error number.
struct Status {
  int error = 0;
  bool ok() const { return error == 0; }
  // The error as text, worded alike on every platform.
  std::string Reason() const;
};

// A run of bytes in memory, one of several written in one call.
struct Piece {
  const void* data;
  std::size_t size;
};

// A date and time as the file system of the image records it: local time,
// no zone. Only valid values are handed on (month 1-12, day within the
// month, hour 0-23, minute and second 0-59, centiseconds 0-99).
struct LocalTime {
  int year = 1980;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int centiseconds = 0;
};

// The times to give a file or directory; a time not set is left as the
// system made it. The creation time is kept where the system has one
// (Windows); elsewhere it is dropped.
struct FileTimes {
  bool hasModified = false;
  LocalTime modified;
  bool hasAccessed = false;
  LocalTime accessed;
  bool hasCreated = false;
  LocalTime created;
};

// An open file; closed silently on destruction when Close was not called.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  bool IsOpen() const { return fd_ >= 0; }

  friend Status OpenForReading(const std::string& path, File& file);
  friend Status CreateFile(const std::string& path, File& file);
  friend Status FileSize(File& file, std::uint64_t& size);
  friend Status ReadFully(File& file, std::uint8_t* buffer, std::size_t count, std::size_t& got);
  friend Status SetPosition(File& file, std::uint64_t position);
  friend Status WriteAll(File& file, const void* data, std::size_t count);
  friend Status WriteAt(File& file, std::uint64_t offset, const void* data, std::size_t count);
  friend Status WriteGathered(File& file, std::span<const Piece> pieces);
  friend Status WriteAtGathered(File& file, std::uint64_t offset, std::span<const Piece> pieces);
  friend Status SetLength(File& file, std::uint64_t length);
  friend Status SetTimes(File& file, const FileTimes& times);
  friend Status Close(File& file);

 private:
  int fd_ = -1;
};

Status OpenForReading(const std::string& path, File& file);
// Creates the file or replaces an existing one, for writing.
Status CreateFile(const std::string& path, File& file);
Status FileSize(File& file, std::uint64_t& size);
// Reads until count bytes are in or the file ends; got tells how many.
Status ReadFully(File& file, std::uint8_t* buffer, std::size_t count, std::size_t& got);
Status SetPosition(File& file, std::uint64_t position);
// A write that stores fewer bytes than asked (a full disk) is a failure.
Status WriteAll(File& file, const void* data, std::size_t count);
// Writes at a byte offset, the file position untouched.
Status WriteAt(File& file, std::uint64_t offset, const void* data, std::size_t count);
// The pieces one after another, at the file position or from an offset
// (the position then untouched), in as few calls as the system allows.
// At most kMaxPieces pieces per call.
inline constexpr std::size_t kMaxPieces = 1024;
Status WriteGathered(File& file, std::span<const Piece> pieces);
Status WriteAtGathered(File& file, std::uint64_t offset, std::span<const Piece> pieces);
// Sets the file's length; bytes never written read as zero (and take no
// disk space where the file system allows holes).
Status SetLength(File& file, std::uint64_t length);
Status Close(File& file);

// Writes UTF-8 text to a C stream (the console) and flushes it. A Windows
// console window is given the text as Unicode, so that every name reads as
// it should there; a pipe or a file gets the UTF-8 bytes.
Status WriteText(std::FILE* stream, std::string_view text);

// Zero-filled memory for the large image buffers; null when it cannot be had.
// Large blocks ask the system for huge pages, which saves most of the page
// faults of filling a buffer the size of a whole dump.
std::uint8_t* AllocateZeroed(std::size_t size);
void FreeZeroed(std::uint8_t* data, std::size_t size);

// Sets the times of an existing file or directory, the local times taken in
// the zone (and daylight saving rules) of the machine running the tool.
Status SetTimes(const std::string& path, const FileTimes& times);
// The same for a file open for writing, after its last write: no second
// look-up of its path.
Status SetTimes(File& file, const FileTimes& times);

// The moment a local time names, in seconds since 1970 (UTC), by the zone
// and daylight saving rules of this machine for that date, as SetTimes
// takes it.
std::int64_t UnixTime(const LocalTime& time);

// The working directory, and a change of it for the rest of the process.
Status CurrentDirectory(std::string& path);
Status ChangeDirectory(const std::string& path);
// Whether the path names its place on its own, not from the working directory.
bool IsAbsolute(const std::string& path);
// Whether the stream is a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);

// Work done beside the calling thread (Windows builds have no std::thread).
// The work must not throw. Join, or destruction, waits for it.
class Worker {
 public:
  Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker();
  void Start(std::function<void()> work);
  void Join();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Message digests, from the system's own libraries (OpenSSL's libcrypto,
// or CNG on Windows). Defined apart from the rest of the module, so that
// only a program that hashes links them.
enum class HashKind : std::uint8_t { Md5, Sha1, Sha256 };
class Hasher {
 public:
  explicit Hasher(HashKind kind);
  Hasher(Hasher&& other) noexcept;
  Hasher& operator=(Hasher&& other) noexcept;
  ~Hasher();
  // A null data adds `size` zero bytes.
  void Update(const void* data, std::size_t size);
  // The digest in lowercase hex; the hasher is then spent.
  std::string HexDigest();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Creates one directory level. An existing directory is reported as an error
// (EEXIST); callers that only need it to exist may ignore that.
Status MakeDirectory(const std::string& path);
bool IsDirectory(const std::string& path);
// Whether anything (a file, a folder, a link) is at the path.
bool Exists(const std::string& path);
// The names in a folder, without "." and "..", in no order.
Status ListFolder(const std::string& path, std::vector<std::string>& names);
// Moves a file onto `to`, replacing a file that is there.
Status Rename(const std::string& from, const std::string& to);
// Removes a file, or a folder and everything in it. Nothing there is no error.
Status RemoveAll(const std::string& path);

}  // namespace quillex::platform
