// libFuzzer target: the whole run, from the dump's header to the extracted
// files, on the fuzzer's bytes as the dump, then the same dump listed as
// quillex lists it (every finding kept, hashed and turned into JSON and
// body lines), and its older states (snapshots) walked as history walks them. The outputs go to a scratch folder (in memory where /dev/shm
// exists) that is emptied after every run.
//
// Its mutator keeps most inputs past the early checks: after libFuzzer's own
// mutation it mostly puts back the FS description block's marker and
// version, a segment count of at most 10, and both MAP signatures of any
// block that still carries one of them, so that the mutations land in the
// segment records, map entries and the image behind them.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/errors.h"
#include "cli/listing.h"
#include "cli/report.h"
#include "partition/partition.h"
#include "tool/run_state.h"
#include "tool/run.h"

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

std::uint32_t Load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void Store32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Repair(std::uint8_t* data, std::size_t size, unsigned seed) {
  if (size < 16 || seed % 8 == 0) return;  // now and then, leave the header broken
  data[0] = 3;
  data[1] = 0;
  data[2] = 26;
  data[3] = 0;
  if (data[8] > 10 || data[9] != 0) data[8] = static_cast<std::uint8_t>(data[8] % 11), data[9] = 0;
  std::uint32_t blockSize = size >= 40 ? Load32(data + 36) : 0;
  if (blockSize == 0) blockSize = 0x800;
  if (blockSize < 512 || blockSize > 65536 || blockSize % 512 != 0) return;
  for (std::size_t at = blockSize; at + 8 <= size; at += blockSize) {
    const bool first = Load32(data + at) == 0x0019DADF;
    const bool second = Load32(data + at + 4) == 0x0AD398D7;
    if (first != second) {
      Store32(data + at, 0x0019DADF);
      Store32(data + at + 4, 0x0AD398D7);
    }
  }
}

}  // namespace

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                              unsigned int seed) {
  const std::size_t mutated = LLVMFuzzerMutate(data, size, maxSize);
  Repair(data, mutated, seed);
  return mutated;
}

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

  quillex::RunState listed;
  listed.EntryName = "d.raw";
  listed.ListOnly = true;
  quillex::cli::Listing listing(quillex::cli::HashChoice{.md5 = true, .sha1 = false, .sha256 = true}, nullptr);
  listed.Report = &listing;
  try {
    quillex::RunStages(listed);
    listing.HashFiles(0, listing.items.size());
    std::string text = quillex::cli::JsonText(quillex::cli::InfoJson(listed, listing));
    for (const quillex::cli::Item& item : listing.items) {
      text += quillex::cli::JsonText(quillex::cli::ItemJson(item)) + quillex::cli::BodyLine(item);
    }
    // The older states the map holds, walked as history walks them.
    // Every block listed for carving lies in the dump where it says.
    for (const quillex::PhysicalBlock& block : quillex::ListPhysicalBlocks(listed)) {
      if (block.InDump > listed.FsBlockSize) std::abort();
      if (block.InDump > 0 && block.DumpOffset + std::min<std::uint32_t>(block.InDump, 512) > size) std::abort();
    }
    const std::uint32_t depth = std::min(quillex::SupersededDepth(listed), 3u);
    for (std::uint32_t k = 1; k <= depth; ++k) {
      std::vector<std::uint32_t> replaced;
      listed.FsImage = quillex::BuildSnapshot(listed, k, replaced);
      quillex::cli::Listing older(quillex::cli::HashChoice{.md5 = false, .sha1 = false, .sha256 = true}, nullptr);
      older.keepClusters = true;
      listed.Report = &older;
      quillex::PartitionState parts;
      quillex::CreatedNames names;
      quillex::ProcessMountTable(listed, listed, parts, names);
      older.HashFiles(0, older.items.size());
    }
  } catch (const quillex::FatalStop&) {
  } catch (const quillex::IoFailure&) {
  }
  EmptyFolder(folder);
  return 0;
}
