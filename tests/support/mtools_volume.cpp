#include "support/mtools_volume.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace quillex::test {
namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Running a program.

struct ProgramRun {
  int status = -1;
  std::string output;  // standard output and error together
};

std::string CommandText(const std::vector<std::string>& argv) {
  std::string text;
  for (const auto& arg : argv) {
    if (!text.empty()) text += ' ';
    text += arg.find(' ') == std::string::npos ? arg : "'" + arg + "'";
  }
  return text;
}

// Runs argv[0] (a full path) with standard input from /dev/null; mtools never
// waits for an answer then.
// The environment of the programs run here: the caller's, with
// MTOOLS_SKIP_CHECK=1 (the volumes' geometry is unusual for a floppy; mtools
// checks it otherwise) and LC_ALL=C.UTF-8, so that mtools takes names on disk
// as UTF-8 and stores them as UTF-16 long names (and back), whatever the
// caller's locale.
std::vector<std::string> ProgramEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("MTOOLS_SKIP_CHECK=") || entry.starts_with("LC_ALL=")) continue;
    env.emplace_back(entry);
  }
  env.emplace_back("MTOOLS_SKIP_CHECK=1");
  env.emplace_back("LC_ALL=C.UTF-8");
  return env;
}

ProgramRun RunProgram(const std::vector<std::string>& argv) {
  std::vector<std::string> env = ProgramEnvironment();
  std::vector<char*> cargs, cenv;
  std::vector<std::string> args = argv;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  for (auto& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(pipeFds[1], 1);
    ::dup2(pipeFds[1], 2);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::execve(cargs[0], cargs.data(), cenv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  ProgramRun run;
  char buffer[4096];
  for (;;) {
    const ssize_t r = ::read(pipeFds[0], buffer, sizeof buffer);
    if (r > 0) {
      run.output.append(buffer, static_cast<std::size_t>(r));
    } else if (r == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string RequireProgram(const std::string& name) {
  const std::string path = FindProgram(name);
  if (path.empty()) throw std::runtime_error(name + " is not installed (dosfstools, mtools)");
  return path;
}

void Run(const std::vector<std::string>& argv) {
  const ProgramRun run = RunProgram(argv);
  if (run.status != 0) {
    throw std::runtime_error(CommandText(argv) + " failed with status " + std::to_string(run.status) +
                             ": " + run.output);
  }
}

void RunMtools(const std::string& program, const MtoolsVolume& volume,
               const std::vector<std::string>& options, const std::vector<std::string>& operands) {
  std::vector<std::string> argv{RequireProgram(program), "-i", volume.image.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), operands.begin(), operands.end());
  Run(argv);
}

// ---------------------------------------------------------------------------
// Bytes.

Bytes ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint16_t Word(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes.at(at) | (bytes.at(at + 1) << 8));
}

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() { return SplitMix(state_); }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
  std::uint32_t Between(std::uint32_t low, std::uint32_t high) { return low + Below(high - low + 1); }
  bool OneIn(std::uint32_t n) { return Below(n) == 0; }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& items) {
    return items[Below(static_cast<std::uint32_t>(N))];
  }

 private:
  std::uint64_t state_;
};

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// ---------------------------------------------------------------------------
// Names.

constexpr std::array<std::string_view, 32> kWords{
    "Photo",  "holiday", "Report",  "final", "Draft", "notes",   "MUSIC",  "track",
    "Album",  "video",   "clip",    "Budget", "summary", "Letter", "backup", "Archive",
    "old",    "New",     "copy",    "version", "mix",  "Camera",  "ring",   "tone",
    "Theme",  "game",    "SaveData", "data",  "Image", "thumb",   "Memo",   "x"};
constexpr std::array<std::string_view, 14> kExtensions{
    "txt", "jpg", "JPEG", "mp3", "dat", "bin", "gz", "3gp", "thm", "xml", "html", "Cfg", "log", "M4a"};
constexpr std::string_view kShortChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
constexpr std::string_view kLongChars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 -_()+!";
constexpr std::string_view kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

char PickChar(Random& random, std::string_view from) {
  return from[random.Below(static_cast<std::uint32_t>(from.size()))];
}

std::string Cased(Random& random, std::string_view word) {
  std::string text(word);
  switch (random.Below(4)) {
    case 0:
      for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      break;
    case 1:
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      break;
    case 2:
      text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
      break;
    default:
      break;
  }
  return text;
}

// An upper-case 8.3 name: stored as a short entry alone.
std::string ShortName(Random& random, bool withExtension) {
  std::string name;
  const std::uint32_t length = random.Between(1, 8);
  for (std::uint32_t i = 0; i < length; ++i) name += PickChar(random, kShortChars.substr(0, 36));
  if (withExtension && !random.OneIn(3)) {
    name += '.';
    const std::uint32_t ext = random.Between(1, 3);
    for (std::uint32_t i = 0; i < ext; ++i) name += PickChar(random, kShortChars);
  }
  return name;
}

// Words joined by blanks, at least 14 characters.
std::string WordsName(Random& random, bool withExtension) {
  std::string name = Cased(random, random.Pick(kWords));
  while (name.size() < 14 || random.OneIn(3)) {
    name += random.OneIn(4) ? " - " : " ";
    name += random.OneIn(5) ? std::to_string(random.Below(1000)) : Cased(random, random.Pick(kWords));
    if (name.size() > 60) break;
  }
  if (withExtension) name += "." + std::string(random.Pick(kExtensions));
  return name;
}

// Several dots.
std::string DottedName(Random& random) {
  std::string name = Cased(random, random.Pick(kWords));
  const std::uint32_t parts = random.Between(2, 4);
  for (std::uint32_t i = 0; i < parts; ++i) {
    name += '.';
    name += random.OneIn(3) ? std::to_string(random.Below(100)) : Cased(random, random.Pick(kWords));
  }
  if (name.size() < 13) name += ".backup.old";
  return name;
}

// Exactly `length` characters (12 and more; a 12-character one holds a blank
// so that it never fits 8.3), around the 13-character steps of long names.
std::string ExactLengthName(Random& random, std::size_t length) {
  std::string name;
  name += PickChar(random, kAlnum);
  while (name.size() + 1 < length) name += PickChar(random, kLongChars);
  name += PickChar(random, kAlnum);
  if (length <= 12) name[length / 2] = ' ';
  return name;
}

std::string RandomName(Random& random, bool isFile) {
  static constexpr std::array<std::size_t, 9> kLengths{12, 13, 14, 25, 26, 27, 38, 39, 40};
  switch (random.Below(6)) {
    case 0:
      return ShortName(random, isFile);
    case 1:
    case 2:
      return WordsName(random, isFile && !random.OneIn(4));
    case 3:
      return DottedName(random);
    default:
      return ExactLengthName(random, random.Pick(kLengths));
  }
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string UniqueName(Random& random, bool isFile, std::set<std::string>& taken) {
  for (;;) {
    std::string name = RandomName(random, isFile);
    if (taken.insert(Upper(name)).second) return name;
  }
}

std::uint32_t RandomSize(Random& random, const RandomTreeOptions& options) {
  const std::uint32_t cluster = options.clusterBytes;
  std::uint32_t size = 0;
  switch (random.Below(12)) {
    case 0:
      size = 0;
      break;
    case 1:
    case 2:
      size = cluster * random.Between(1, 4);
      break;
    case 3:
      size = cluster * random.Between(1, 4) - 1;
      break;
    case 4:
      size = cluster * random.Between(0, 3) + 1;
      break;
    case 5:
    case 6:
    case 7:
      size = random.Between(1, 4096);
      break;
    case 8:
    case 9:
      size = random.Between(4096, std::max<std::uint32_t>(4096, std::min(64u * 1024, options.maxFileBytes)));
      break;
    case 10:
      size = random.Between(1, std::max<std::uint32_t>(1, options.maxFileBytes));
      break;
    default:
      size = random.Between(1, 511);
      break;
  }
  return std::min(size, options.maxFileBytes);
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void FillDirectory(const fs::path& dir, int level, Random& random, const RandomTreeOptions& options) {
  std::set<std::string> taken;
  const int files = level == 0 ? options.rootFiles : options.filesPerDirectory;
  for (int i = 0; i < files; ++i) {
    const std::string name = UniqueName(random, true, taken);
    WriteBytes(dir / name, SeededBytes(RandomSize(random, options), random.Next()));
  }
  if (level >= options.depth) return;
  for (int i = 0; i < options.directoriesPerDirectory; ++i) {
    const fs::path sub = dir / UniqueName(random, false, taken);
    fs::create_directory(sub);
    const bool empty = options.emptyDirectoryOneIn > 0 &&
                       random.OneIn(static_cast<std::uint32_t>(options.emptyDirectoryOneIn));
    if (!empty) FillDirectory(sub, level + 1, random, options);
  }
}

// Directory entries a name takes, counted as if it always had a long name.
std::uint32_t EntriesFor(const std::string& name) {
  return 1 + static_cast<std::uint32_t>(CeilDiv(name.size(), 13));
}

void CountDirectory(const fs::path& dir, bool isRoot, std::uint32_t clusterBytes, TreeCount& count) {
  std::uint32_t entries = isRoot ? 0 : 2;
  for (const auto& item : fs::directory_iterator(dir)) {
    entries += EntriesFor(item.path().filename().string());
    if (item.is_directory()) {
      ++count.directories;
      CountDirectory(item.path(), false, clusterBytes, count);
    } else {
      ++count.files;
      const std::uint64_t size = item.file_size();
      count.bytes += size;
      count.clusters += CeilDiv(size, clusterBytes);
    }
  }
  if (isRoot) {
    count.rootEntries = entries;
  } else {
    count.clusters += std::max<std::uint64_t>(1, CeilDiv(std::uint64_t{entries} * 32, clusterBytes));
  }
}

std::string TimeText(std::time_t seconds) {
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::vector<fs::directory_entry> SortedEntries(const fs::path& dir) {
  std::vector<fs::directory_entry> entries;
  for (const auto& item : fs::directory_iterator(dir)) entries.push_back(item);
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  return entries;
}

std::string Kind(const fs::directory_entry& item) {
  if (item.is_symlink()) return "link";
  if (item.is_directory()) return "directory";
  if (item.is_regular_file()) return "file";
  return "other";
}

std::string CompareDirectory(const fs::path& expected, const fs::path& actual, const fs::path& rel) {
  const auto want = SortedEntries(expected);
  const auto got = SortedEntries(actual);
  std::size_t i = 0, j = 0;
  while (i < want.size() || j < got.size()) {
    if (j == got.size() || (i < want.size() && want[i].path().filename() < got[j].path().filename())) {
      return "missing " + Kind(want[i]) + ": " + (rel / want[i].path().filename()).string();
    }
    if (i == want.size() || got[j].path().filename() < want[i].path().filename()) {
      return "unexpected " + Kind(got[j]) + ": " + (rel / got[j].path().filename()).string();
    }
    const fs::path name = rel / want[i].path().filename();
    const std::string wantKind = Kind(want[i]), gotKind = Kind(got[j]);
    if (wantKind != gotKind) {
      return name.string() + ": expected a " + wantKind + ", found a " + gotKind;
    }
    if (wantKind == "directory") {
      std::string difference = CompareDirectory(want[i].path(), got[j].path(), name);
      if (!difference.empty()) return difference;
    } else if (wantKind == "file") {
      const Bytes a = ReadWhole(want[i].path());
      const Bytes b = ReadWhole(got[j].path());
      const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
      if (mismatch.first != a.end() || mismatch.second != b.end()) {
        std::ostringstream text;
        text << name.string() << ": expected " << a.size() << " bytes, found " << b.size()
             << "; first difference at byte " << (mismatch.first - a.begin());
        return text.str();
      }
    }
    ++i;
    ++j;
  }
  return "";
}

}  // namespace

std::string FindProgram(const std::string& name) {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::stringstream list(path);
    for (std::string dir; std::getline(list, dir, ':');) {
      if (!dir.empty()) dirs.push_back(dir);
    }
  }
  for (const char* dir : {"/usr/sbin", "/sbin", "/usr/local/sbin"}) dirs.emplace_back(dir);
  for (const auto& dir : dirs) {
    const fs::path candidate = fs::path(dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return "";
}

std::string MissingFatPrograms() {
  std::string missing;
  for (const char* name : {"mkfs.fat", "mcopy", "mmd", "mdel", "mattrib", "mren"}) {
    if (FindProgram(name).empty()) missing += (missing.empty() ? "" : " ") + std::string(name);
  }
  return missing;
}

ProgramOutput RunProgramIn(const fs::path& dir, const std::vector<std::string>& argv, int timeoutMs) {
  if (argv.empty()) throw std::invalid_argument("no program to run");
  // A program that exits before reading must not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> env = ProgramEnvironment();
  std::vector<std::string> args = argv;
  std::vector<char*> cargs, cenv;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  for (auto& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (::pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
  if (::pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execve(cargs[0], cargs.data(), cenv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ProgramOutput run;
  int fds[2] = {outPipe[0], errPipe[0]};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool killed = false;
  char buffer[65536];
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd polls[2];
    nfds_t count = 0;
    for (int fd : fds) {
      if (fd >= 0) polls[count++] = {fd, POLLIN, 0};
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(polls, count, static_cast<int>(left)) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (polls[i].revents == 0) continue;
      const ssize_t r = ::read(polls[i].fd, buffer, sizeof buffer);
      const bool isOut = polls[i].fd == fds[0];
      if (r > 0) {
        (isOut ? run.out : run.err).append(buffer, static_cast<std::size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        ::close(polls[i].fd);
        fds[isOut ? 0 : 1] = -1;
      }
    }
  }
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

ProgramOutput RunQuillexMkraw(const fs::path& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv{QUILLEX_MKRAW_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgramIn(dir, argv);
}

namespace {

// The volume mkfs.fat made at `image`, as its boot sector describes it.
MtoolsVolume ReadBackVolume(const MtoolsVolumeSpec& plan, const fs::path& image, Bytes& boot) {
  boot = ReadWhole(image);
  boot.resize(512);
  MtoolsVolume volume;
  volume.image = image;
  volume.fsBlockSize = plan.fsBlockSize;
  volume.secsPerFat = Word(boot, 22);
  volume.rootEntries = Word(boot, 17);
  volume.sizeKiB = plan.sizeKiB;
  volume.reserved = Word(boot, 14);
  volume.fats = boot[16];
  volume.clusterBytes = boot[13] * 512u;
  return volume;
}

// One mkfs.fat run with the layout asked for, taken as it comes out.
MtoolsVolume MakePcVolume(const MtoolsVolumeSpec& plan, const fs::path& image) {
  std::vector<std::string> argv{RequireProgram("mkfs.fat"), "-F", plan.bits == FatType::Fat12 ? "12" : "16",
                                "-i", "51AB0C3D", "-C", image.string(), std::to_string(plan.sizeKiB)};
  if (!plan.pc.mkfsDefaults) {
    const PcLayout& pc = plan.pc;
    argv.insert(argv.begin() + 1, {"-a", "-S", "512", "-s", std::to_string(plan.ClusterBytes() / 512), "-f",
                                   std::to_string(pc.fats != 0 ? pc.fats : 1), "-R",
                                   std::to_string(pc.reserved != 0 ? pc.reserved : 1), "-r",
                                   std::to_string(pc.rootEntries != 0 ? pc.rootEntries : plan.minRootEntries)});
  }
  std::error_code ignored;
  fs::remove(image, ignored);
  Run(argv);
  Bytes boot;
  const MtoolsVolume volume = ReadBackVolume(plan, image, boot);
  if (Word(boot, 11) != 512 || (!plan.pc.mkfsDefaults && volume.clusterBytes != plan.ClusterBytes())) {
    throw std::runtime_error("mkfs.fat did not make the layout asked for");
  }
  return volume;
}

}  // namespace

MtoolsVolume MakeEmptyMtoolsVolume(const MtoolsVolumeSpec& plan, const fs::path& image) {
  if (plan.pc.Any()) return MakePcVolume(plan, image);
  const std::string mkfs = RequireProgram("mkfs.fat");
  if (plan.fsBlockSize < 512 || plan.fsBlockSize % 512 != 0 || plan.fsBlockSize / 512 > 128) {
    throw std::invalid_argument("fs_block size not usable as a cluster");
  }
  const std::uint32_t perBlock = plan.fsBlockSize / 512;
  std::uint32_t rootEntries = std::max<std::uint32_t>(16, (plan.minRootEntries + 15) / 16 * 16);
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::error_code ignored;
    fs::remove(image, ignored);
    Run({mkfs, "-a", "-f", "1", "-R", "1", "-S", "512", "-s", std::to_string(perBlock), "-F",
         plan.bits == FatType::Fat12 ? "12" : "16", "-r", std::to_string(rootEntries), "-i", "51AB0C3D",
         "-C", image.string(), std::to_string(plan.sizeKiB)});
    Bytes boot;
    const MtoolsVolume volume = ReadBackVolume(plan, image, boot);
    if (Word(boot, 11) != 512 || boot[13] != perBlock || Word(boot, 14) != 1 || boot[16] != 1) {
      throw std::runtime_error("mkfs.fat did not make the layout asked for");
    }
    const std::uint32_t dataSector = volume.FirstDataSector();
    if (volume.rootEntries % 16 == 0 && dataSector % perBlock == 0) return volume;
    // More root entries, up to the next fs_block boundary; the FAT may then
    // shrink or grow, so the volume is made again and checked again.
    rootEntries = (std::uint32_t{volume.rootEntries} + 15u) / 16u * 16u +
                  16u * ((perBlock - dataSector % perBlock) % perBlock);
  }
  throw std::runtime_error("no root entry count puts the data area on an fs_block boundary");
}

void CopyIntoVolume(const MtoolsVolume& volume, const std::vector<fs::path>& sources,
                    const std::string& target) {
  std::vector<std::string> operands;
  for (const auto& source : sources) operands.push_back(source.string());
  operands.push_back(target);
  RunMtools("mcopy", volume, {"-s", "-Q", "-m"}, operands);
}

void DeleteFolderFromVolume(const MtoolsVolume& volume, const std::string& target) {
  RunMtools("mdeltree", volume, {}, {target});
}

void OverwriteInVolume(const MtoolsVolume& volume, const fs::path& source, const std::string& target) {
  RunMtools("mcopy", volume, {"-o", "-Q", "-m"}, {source.string(), target});
}

void RenameInVolume(const MtoolsVolume& volume, const std::string& from, const std::string& to) {
  RunMtools("mren", volume, {}, {from, to});
}

void MakeVolumeDirectory(const MtoolsVolume& volume, const std::string& target) {
  RunMtools("mmd", volume, {}, {target});
}

void DeleteFromVolume(const MtoolsVolume& volume, const std::string& target) {
  RunMtools("mdel", volume, {}, {target});
}

void ChangeAttributes(const MtoolsVolume& volume, const std::vector<std::string>& flags,
                      const std::vector<std::string>& targets) {
  if (targets.empty()) return;
  RunMtools("mattrib", volume, flags, targets);
}

void ClearArchiveBit(const MtoolsVolume& volume, const std::vector<std::string>& targets) {
  ChangeAttributes(volume, {"-a"}, targets);
}

void CopyTreeIntoVolume(const MtoolsVolume& volume, const fs::path& tree) {
  std::vector<fs::path> sources;
  for (const auto& item : SortedEntries(tree)) sources.push_back(item.path());
  if (sources.empty()) return;
  CopyIntoVolume(volume, sources, "::/");
}

Bytes ReadVolume(const MtoolsVolume& volume) { return ReadWhole(volume.image); }

MtoolsVolume MakeMtoolsVolumeFromTree(MtoolsVolumeSpec plan, const fs::path& tree, const fs::path& image) {
  // mkfs.fat's default clusters are at most 4 KiB for the sizes made here.
  const std::uint32_t clusterBytes = plan.ClusterBytes() != 0 ? plan.ClusterBytes() : 4096;
  const TreeCount count = CountTree(tree, clusterBytes);
  plan.minRootEntries = std::max(plan.minRootEntries, count.rootEntries + 16);
  if (plan.sizeKiB == 0) {
    std::uint64_t clusters = count.clusters + count.clusters / 8 + 16;
    if (plan.bits == FatType::Fat16) clusters = std::max<std::uint64_t>(clusters, 4200);
    if (plan.bits == FatType::Fat12 && clusters > 4000) {
      throw std::invalid_argument("tree too large for a FAT12 volume with this cluster size");
    }
    const std::uint64_t fatBytes = plan.bits == FatType::Fat12 ? clusters * 3 / 2 : clusters * 2;
    const std::uint64_t rootBytes =
        (std::uint64_t{std::max(plan.minRootEntries, plan.pc.rootEntries)} + 16u * clusterBytes / 512) * 32;
    // Room for more FATs and reserved sectors than the phone's one each.
    const std::uint64_t metaBytes =
        plan.pc.Any() ? fatBytes * std::max<std::uint32_t>(plan.pc.fats, 2) + 512u * std::max<std::uint32_t>(plan.pc.reserved, 32)
                      : fatBytes;
    plan.sizeKiB = static_cast<std::uint32_t>(
        CeilDiv(clusters * clusterBytes + metaBytes + rootBytes + clusterBytes + 1024, 1024));
  }
  MtoolsVolume volume = MakeEmptyMtoolsVolume(plan, image);
  CopyTreeIntoVolume(volume, tree);
  return volume;
}

TreeCount WriteRandomTree(const fs::path& root, const RandomTreeOptions& options) {
  fs::create_directories(root);
  Random random(options.seed);
  FillDirectory(root, 0, random, options);
  return CountTree(root, options.clusterBytes);
}

TreeCount CountTree(const fs::path& root, std::uint32_t clusterBytes) {
  TreeCount count;
  CountDirectory(root, true, clusterBytes, count);
  return count;
}

void SetModificationTime(const fs::path& path, const std::string& when) {
  Run({RequireProgram("touch"), "-m", "-d", when, path.string()});
}

std::string CompareTreeTimes(const fs::path& expected, const fs::path& actual) {
  if (!fs::is_directory(expected)) return "no directory " + expected.string();
  std::vector<fs::path> paths;
  for (const auto& item : fs::recursive_directory_iterator(expected)) {
    paths.push_back(fs::relative(item.path(), expected));
  }
  std::sort(paths.begin(), paths.end());
  for (const fs::path& rel : paths) {
    struct stat want {}, got {};
    if (::lstat((expected / rel).c_str(), &want) != 0) return "cannot stat " + (expected / rel).string();
    if (::lstat((actual / rel).c_str(), &got) != 0) return "missing: " + rel.string();
    // FAT keeps the seconds halved.
    if (want.st_mtim.tv_sec / 2 != got.st_mtim.tv_sec / 2) {
      std::ostringstream text;
      text << rel.string() << ": modified at " << TimeText(got.st_mtim.tv_sec) << ", expected "
           << TimeText(want.st_mtim.tv_sec) << " (local time)";
      return text.str();
    }
  }
  return "";
}

std::string CompareTrees(const fs::path& expected, const fs::path& actual) {
  if (!fs::is_directory(expected)) return "no directory " + expected.string();
  if (!fs::is_directory(actual)) return "no directory " + actual.string();
  return CompareDirectory(expected, actual, fs::path());
}

Bytes SeededBytes(std::size_t count, std::uint64_t seed) {
  Bytes bytes(count);
  std::uint64_t state = seed;
  for (std::size_t i = 0; i < count; i += 8) {
    std::uint64_t value = SplitMix(state);
    for (std::size_t k = i; k < std::min(count, i + 8); ++k) {
      bytes[k] = static_cast<std::uint8_t>(value);
      value >>= 8;
    }
  }
  return bytes;
}

}  // namespace quillex::test
