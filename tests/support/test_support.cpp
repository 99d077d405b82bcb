#include "support/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gtest/gtest.h>

namespace quillex::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillex-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only folders behind; make them writable again first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

namespace {

// Reads both pipes until the child closes them; feeds the input to its stdin.
// Returns false when the time limit passed first.
bool Pump(int outFd, int errFd, int inFd, const RunOptions& options, ToolRun& run) {
  const std::string& input = options.input;
  std::size_t sent = 0;
  int heldFd = -1;  // stdin kept open without more data
  auto inputDone = [&] {
    if (options.holdInput) {
      heldFd = inFd;
    } else {
      ::close(inFd);
    }
    inFd = -1;
  };
  if (input.empty()) inputDone();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  char buffer[65536];
  bool inTime = true;
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      inTime = false;
      break;
    }
    int ready = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        ssize_t w = ::write(inFd, input.data() + sent, input.size() - sent);
        if (w > 0) sent += static_cast<std::size_t>(w);
        if (w < 0 || sent == input.size()) inputDone();
        continue;
      }
      ssize_t r = ::read(fds[i].fd, buffer, sizeof buffer);
      std::string& sink = fds[i].fd == outFd ? run.out : run.err;
      if (r > 0) {
        sink.append(buffer, static_cast<std::size_t>(r));
      } else {
        ::close(fds[i].fd);
        (fds[i].fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
  for (int fd : {inFd, heldFd, outFd, errFd}) {
    if (fd >= 0) ::close(fd);
  }
  return inTime;
}

}  // namespace

const std::string& ToolForOtherUsers() {
  // A checkout may lie below a folder only its owner can enter (mktemp -d
  // makes them 0700); user 65534 could not reach the build folder's binary.
  struct Copy {
    TempDir dir;
    std::string path = dir / "quillex4";
    Copy() {
      namespace fs = std::filesystem;
      fs::copy_file(QUILLEX4_PATH, path, fs::copy_options::overwrite_existing);
      fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
      fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    }
  };
  static const Copy copy;
  return copy.path;
}

ToolRun RunQuillex4(const std::filesystem::path& dir, const std::vector<std::string>& args,
                    const RunOptions& options) {
  // A tool that exits before reading its input must not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  int outPipe[2], errPipe[2], inPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0 || ::pipe(inPipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv = options.command;
  if (argv.empty()) argv.push_back(options.asNobody ? ToolForOtherUsers() : std::string(QUILLEX4_PATH));
  argv.insert(argv.end(), args.begin(), args.end());
  static int measured = 0;
  const std::filesystem::path peakFile =
      std::filesystem::temp_directory_path() / ("quillex-peak-" + std::to_string(::getpid()) + "-" + std::to_string(++measured));
  if (options.peakOfToolAlone) argv.insert(argv.begin(), {"/usr/bin/time", "-f", "%M", "-o", peakFile.string()});
  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);

  // The child's peak memory counts the pages it shares with this process
  // until exec; give the heap's free pages back first, so that maxRssKiB
  // measures the tool rather than the tests that ran before.
  ::malloc_trim(0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    if (options.fileSizeLimit != 0) {
      const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    if (options.asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(126);
    }
    ::execv(cargs[0], cargs.data());
    ::_exit(127);
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ToolRun run;
  if (!Pump(outPipe[0], errPipe[0], inPipe[1], options, run)) {
    run.timedOut = true;
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  run.maxRssKiB = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (options.peakOfToolAlone) {
    // time writes the tool's exit status first when it is not 0, then the peak.
    std::ifstream peak(peakFile);
    for (std::string line; std::getline(peak, line);) run.maxRssKiB = std::atol(line.c_str());
    std::filesystem::remove(peakFile);
  }
  return run;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string Banner() {
  return Lines({"(#)quillex v4.7 by quillex developers <quillex@localhost> 28 Oct 2006",
                "(#)Parsing tool for SonyEricsson phones raw File System image",
                "(#)Supported phones: z530, k610, k790/800, w550, w810, w850, w900", ""});
}

}  // namespace quillex::test
