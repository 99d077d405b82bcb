// quillex-mksample OUTPUT MOUNTPATH=VOLUME...: writes a raw dump holding the
// given FAT volumes, one MTab unit each, the same bytes on every run.
//
// Flash: fs_blocks of $800, a first segment without spare areas and a second
// one of $200-byte pages behind a gap, the logical blocks shuffled, two
// erased blocks and two stale copies, so that a run shows every step of the
// rebuilding. samples/make_sample.sh makes the shipped sample with it.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "mkraw/mkraw.h"

namespace {

namespace mk = quillex::mkraw;

bool ReadWhole(const std::string& path, mk::Bytes& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: quillex-mksample OUTPUT MOUNTPATH=VOLUME...\n";
    return 2;
  }
  std::vector<mk::UnitVolume> units;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t eq = arg.find('=');
    mk::UnitVolume unit;
    if (eq == std::string::npos || !ReadWhole(arg.substr(eq + 1), unit.volume)) {
      std::cerr << "quillex-mksample: cannot read the volume of " << arg << "\n";
      return 1;
    }
    unit.mountPath = arg.substr(0, eq);
    // The type code the volume's FAT width calls for: FAT12 below 4085 clusters.
    const std::uint32_t sectors = unit.volume.size() > 20
                                      ? static_cast<std::uint32_t>(unit.volume[19] | unit.volume[20] << 8)
                                      : 0;
    const std::uint32_t perCluster = unit.volume.size() > 13 && unit.volume[13] != 0 ? unit.volume[13] : 1;
    unit.parType = sectors / perCluster < 4085 ? 0x01 : 0x04;
    units.push_back(std::move(unit));
  }

  mk::FlashSpec spec;
  spec.fsBlockSize = 0x800;
  spec.seed = 0x5A3B1E;
  spec.freeBlocks = 2;
  spec.staleCopies = 2;
  spec.segments = {mk::FlashSegment{mk::kPageTypeNone, 0, 0x1000, {}},
                   mk::FlashSegment{mk::kPageTypeSmall, 0, 0, {}}};
  try {
    mk::AddUnits(spec, units);
    const mk::Bytes dump = mk::BuildDump(spec);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(dump.data()), static_cast<std::streamsize>(dump.size()));
    out.close();
    if (!out) {
      std::cerr << "quillex-mksample: cannot write " << argv[1] << "\n";
      return 1;
    }
    std::cout << "wrote " << dump.size() << " bytes to " << argv[1] << "\n";
  } catch (const std::exception& e) {
    std::cerr << "quillex-mksample: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
