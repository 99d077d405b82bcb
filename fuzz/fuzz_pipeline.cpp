// libFuzzer target: the whole run, from the dump's header to the extracted
// files, on the fuzzer's bytes as the dump. The outputs go to a scratch
// folder (in memory where /dev/shm exists) that is emptied after every run.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/errors.h"
#include "driver/run.h"

namespace {

namespace fs = std::filesystem;

// Made once per process; every run works inside it.
const fs::path& ScratchFolder() {
  static const fs::path folder = [] {
    std::string pattern = (fs::exists("/dev/shm") ? std::string("/dev/shm") : fs::temp_directory_path().string()) +
                          "/quillex-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    if (::chdir(pattern.c_str()) != 0) std::abort();
    return fs::path(pattern);
  }();
  return folder;
}

void EmptyFolder(const fs::path& folder) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(entry.path(), ignored);
  }
}

}  // namespace

// The folder is made (and entered) before any input runs, so corpus paths
// given on the command line should be absolute.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ScratchFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path& folder = ScratchFolder();
  {
    std::ofstream dump("d.raw", std::ios::binary | std::ios::trunc);
    dump.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  quillex::RunState state;  // console and log text collect in memory
  state.EntryName = "d.raw";
  try {
    quillex::RunStages(state);
  } catch (const quillex::FatalStop&) {
  } catch (const quillex::IoFailure&) {
  }
  state.LogFile.CloseQuietly();
  EmptyFolder(folder);
  return 0;
}
