// quillex-benchhistory VOLUME COPIES SHARE PREFIX: older states of a FAT
// volume image for timing quillex history. PREFIX.1 (the oldest) to
// PREFIX.COPIES differ from the volume, and from each other, in one block
// of every SHARE of its data area (the blocks the size of its clusters):
// those blocks were written COPIES times more, as a file edited in place
// again and again would be. The FAT and directories stay as they are: the
// clusters of folders are passed over.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

// Boot sector fields (little-endian), at their byte offsets.
constexpr std::size_t kBytesPerSector = 11;     // u16
constexpr std::size_t kSectorsPerCluster = 13;  // u8
constexpr std::size_t kReservedSectors = 14;    // u16
constexpr std::size_t kFats = 16;               // u8
constexpr std::size_t kRootEntries = 17;        // u16
constexpr std::size_t kSectorsPerFat = 22;      // u16

unsigned Word(const std::vector<char>& v, std::size_t at) {
  return static_cast<unsigned char>(v[at]) | static_cast<unsigned>(static_cast<unsigned char>(v[at + 1])) << 8;
}

// The clusters of every folder below the directory whose entries lie at
// [from, to) (the root) or in the chain from `first`, added to `folders`.
struct Volume {
  const std::vector<char>& bytes;
  std::size_t fat, data, cluster;
  bool fat12;

  unsigned Next(unsigned c) const {
    if (!fat12) return Word(bytes, fat + 2 * std::size_t{c});
    // FAT12: two entries in three bytes, the odd one in the high 12 bits.
    const unsigned pair = Word(bytes, fat + c * 3 / 2);
    return c % 2 == 0 ? pair & 0xFFF : pair >> 4;
  }
  bool End(unsigned c) const { return c < 2 || c >= (fat12 ? 0xFF0u : 0xFFF0u); }
  std::size_t At(unsigned c) const { return data + (std::size_t{c} - 2) * cluster; }

  void Entries(std::size_t from, std::size_t to, std::set<unsigned>& folders) const {
    for (std::size_t e = from; e + 32 <= to && e + 32 <= bytes.size(); e += 32) {
      const unsigned char first = static_cast<unsigned char>(bytes[e]);
      if (first == 0) return;
      const unsigned char attr = static_cast<unsigned char>(bytes[e + 11]);
      if (first == 0xE5 || first == '.' || attr == 0x0F || (attr & 0x10) == 0) continue;
      Folder(Word(bytes, e + 26), folders);
    }
  }
  void Folder(unsigned c, std::set<unsigned>& folders) const {
    std::vector<unsigned> chain;
    for (; !End(c) && At(c) + cluster <= bytes.size() && folders.insert(c).second; c = Next(c)) chain.push_back(c);
    for (const unsigned m : chain) Entries(At(m), At(m) + cluster, folders);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: quillex-benchhistory VOLUME COPIES SHARE PREFIX\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<char> volume((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const unsigned copies = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const unsigned share = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
  if (volume.size() < 512 || copies == 0 || share == 0) {
    std::cerr << "quillex-benchhistory: no volume, or COPIES or SHARE 0\n";
    return 1;
  }
  const std::size_t sector = Word(volume, kBytesPerSector);
  const std::size_t cluster = sector * static_cast<unsigned char>(volume[kSectorsPerCluster]);
  const std::size_t data = sector * (Word(volume, kReservedSectors) +
                                     std::size_t{static_cast<unsigned char>(volume[kFats])} * Word(volume, kSectorsPerFat)) +
                           std::size_t{Word(volume, kRootEntries)} * 32;
  if (cluster == 0) return 1;
  const std::size_t fat = sector * Word(volume, kReservedSectors);
  const Volume v{volume, fat, data, cluster, (volume.size() - data) / cluster < 4085};
  std::set<unsigned> folders;
  v.Entries(data - std::size_t{Word(volume, kRootEntries)} * 32, data, folders);
  std::vector<std::size_t> blocks;  // one in every SHARE of the clusters that hold no folder
  for (unsigned c = 2; v.At(c) + cluster <= volume.size(); c += share) {
    while (folders.contains(c)) ++c;
    if (v.At(c) + cluster <= volume.size()) blocks.push_back(v.At(c));
  }
  for (unsigned k = 1; k <= copies; ++k) {
    std::vector<char> older = volume;
    for (const std::size_t at : blocks) {
      // A different pattern in every state: each differs from the next.
      const unsigned pattern = 0x11 * k + 1;
      for (std::size_t i = 0; i < cluster; ++i) {
        older[at + i] = static_cast<char>(static_cast<unsigned char>(older[at + i]) ^ pattern);
      }
    }
    const std::string name = std::string(argv[4]) + "." + std::to_string(k);
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(older.data(), static_cast<std::streamsize>(older.size()));
    if (!out) {
      std::cerr << "quillex-benchhistory: cannot write " << name << "\n";
      return 1;
    }
  }
  std::cout << blocks.size() << " blocks changed in each of " << copies << " older states\n";
  return 0;
}
