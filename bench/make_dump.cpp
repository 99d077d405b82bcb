// quillex-benchdump OUTPUT BLOCKS [PAGETYPE]: a dump of BLOCKS logical
// fs_blocks of $800 bytes of seeded pseudo-random data, shuffled across two
// segments, for timing the tool. The same arguments give the same bytes.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "mkraw/mkraw.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: quillex-benchdump OUTPUT BLOCKS [PAGETYPE]\n";
    return 2;
  }
  namespace mk = quillex::mkraw;
  const auto blocks = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const auto pageType = argc > 3 ? static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10))
                                 : mk::kPageTypeNone;
  mk::FlashSpec plan;
  plan.fsBlockSize = 0x800;
  std::uint64_t random = 0xBE7C4;
  for (std::uint32_t n = 1; n <= blocks; ++n) {
    mk::Bytes data(plan.fsBlockSize);
    for (std::size_t i = 0; i < data.size(); i += 8) {
      std::uint64_t v = mk::NextRandom(random);
      for (std::size_t b = 0; b < 8; ++b) data[i + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
    plan.logicalBlocks[n] = std::move(data);
  }
  plan.mountTableBlock = 1;
  plan.freeBlocks = 16;
  plan.staleCopies = 16;
  plan.segments = {mk::FlashSegment{mk::kPageTypeNone, 0, 0, {}},
                   mk::FlashSegment{pageType, 0, 0, {}}};
  const mk::Bytes dump = mk::BuildDump(plan);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(dump.data()), static_cast<std::streamsize>(dump.size()));
  out.close();
  if (!out) {
    std::cerr << "quillex-benchdump: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
