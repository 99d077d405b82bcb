// libFuzzer target for the deep stages: the fuzzer's bytes are taken as a
// normal FS image whose logical fs_block 1 holds the Mount Table, so every
// mutation lands in MTab units, partition tables, boot sectors, FATs and
// directories instead of being spent on the dump's header and MAP blocks.
// The first byte picks the fs_block size.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/errors.h"
#include "tool/run_state.h"
#include "partition/partition.h"

namespace {

namespace fs = std::filesystem;

const fs::path& ScratchFolder() {
  static const fs::path folder = [] {
    std::string pattern = (fs::exists("/dev/shm") ? std::string("/dev/shm") : fs::temp_directory_path().string()) +
                          "/quillex-fuzz-image-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    if (::chdir(pattern.c_str()) != 0) std::abort();
    return fs::path(pattern);
  }();
  return folder;
}

constexpr std::uint32_t kBlockSizes[] = {0x200, 0x800, 0x1000, 0x4000};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ScratchFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  quillex::RunState state;
  state.EntryName = "d.raw";
  state.FsBlockSize = kBlockSizes[data[0] % 4];
  state.BlockMap = {0xFFFFFFFF, 0x40000001};
  state.RawImage = quillex::ZeroedBuffer(size - 1, "image");
  std::memcpy(state.RawImage.data(), data + 1, size - 1);
  state.FsImage = quillex::FsView::Flat(state.RawImage.view());
  try {
    quillex::ProcessMountTable(state, state, state, state.NamesCreated);
  } catch (const quillex::FatalStop&) {
  } catch (const quillex::IoFailure&) {
  }
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(ScratchFolder(), ignored)) fs::remove_all(entry.path(), ignored);
  return 0;
}
