// quillex-mksample OUTPUT: writes a small sample dump, the same bytes on
// every run, for trying the tool without a phone at hand.
//
// Flash: fs_blocks of $800, a first segment without spare areas and a second
// one of $200-byte pages, a gap between them, the logical blocks shuffled,
// two erased blocks and two stale copies. Logical block 1 is the Mount Table
// (at physical block 1) with one unit "/" whose partition starts at logical
// block 3, a block of readable text like all the others.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "mkraw/mkraw.h"

namespace {

using quillex::mkraw::Bytes;

constexpr std::uint32_t kFsBlockSize = 0x800;
constexpr std::uint32_t kLastBlock = 40;
constexpr std::uint16_t kPartitionStart = 3;

// Numbered lines of text, so that any piece of the image tells where it
// came from.
Bytes TextBlock(std::uint32_t number) {
  std::string text;
  for (int line = 0; text.size() < kFsBlockSize; ++line) {
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%s logical fs_block %03u, line %02d\n",
                  number == kPartitionStart ? "QUILLEX SAMPLE PARTITION START:" : "quillex sample:",
                  number, line);
    text += buffer;
  }
  return Bytes(text.begin(), text.begin() + kFsBlockSize);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: quillex-mksample OUTPUT\n";
    return 2;
  }
  namespace mk = quillex::mkraw;

  mk::FlashSpec spec;
  spec.fsBlockSize = kFsBlockSize;
  spec.logicalBlocks[1] = mk::MakeMountTable(
      {{"/", kPartitionStart, static_cast<std::uint16_t>(kLastBlock - kPartitionStart + 1), {}}},
      kFsBlockSize);
  for (std::uint32_t n = 2; n <= kLastBlock; ++n) spec.logicalBlocks[n] = TextBlock(n);
  spec.mountTableBlock = 1;
  spec.seed = 0x5A3B1E;
  spec.freeBlocks = 2;
  spec.staleCopies = 2;
  spec.segments = {mk::FlashSegment{mk::kPageTypeNone, 0, 0x1000, {}},
                   mk::FlashSegment{mk::kPageTypeSmall, 0, 0, {}}};

  const Bytes dump = mk::BuildDump(spec);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(dump.data()), static_cast<std::streamsize>(dump.size()));
  out.close();
  if (!out) {
    std::cerr << "quillex-mksample: cannot write " << argv[1] << "\n";
    return 1;
  }
  std::cout << "wrote " << dump.size() << " bytes to " << argv[1] << "\n";
  return 0;
}
