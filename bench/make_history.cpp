// quillex-benchhistory VOLUME COPIES SHARE PREFIX: older states of a FAT
// volume image for timing quillex history. PREFIX.1 (the oldest) to
// PREFIX.COPIES differ from the volume, and from each other, in one block
// of every SHARE of its data area (the blocks the size of its clusters),
// and in the write time and date of each file that owns such a block:
// those blocks, and the directory blocks holding those files' entries, were
// written COPIES times more, as a file edited in place again and again would
// be. The FAT stays as it is: the clusters of folders are passed over.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
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

// Directory entry fields.
constexpr std::size_t kEntryTime = 22;     // u16
constexpr std::size_t kEntryDate = 24;     // u16
constexpr std::size_t kEntryCluster = 26;  // u16

// What the walk from the root finds: the clusters of every folder, and for
// each cluster of a file the offset of that file's entry.
struct Tree {
  std::set<unsigned> folders;
  std::map<unsigned, std::size_t> owners;
};

// The folders and files below the directory whose entries lie at [from, to)
// (the root) or in the chain from a folder's first cluster, added to a Tree.
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

  void Entries(std::size_t from, std::size_t to, Tree& tree) const {
    for (std::size_t e = from; e + 32 <= to && e + 32 <= bytes.size(); e += 32) {
      const unsigned char first = static_cast<unsigned char>(bytes[e]);
      if (first == 0) return;
      const unsigned char attr = static_cast<unsigned char>(bytes[e + 11]);
      if (first == 0xE5 || first == '.' || attr == 0x0F) continue;
      if ((attr & 0x10) != 0) {
        Folder(Word(bytes, e + kEntryCluster), tree);
        continue;
      }
      // A cluster already owned (chains that cross) keeps its first owner.
      for (unsigned c = Word(bytes, e + kEntryCluster);
           !End(c) && At(c) + cluster <= bytes.size() && tree.owners.emplace(c, e).second; c = Next(c)) {
      }
    }
  }
  void Folder(unsigned c, Tree& tree) const {
    std::vector<unsigned> chain;
    for (; !End(c) && At(c) + cluster <= bytes.size() && tree.folders.insert(c).second; c = Next(c)) chain.push_back(c);
    for (const unsigned m : chain) Entries(At(m), At(m) + cluster, tree);
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
  Tree tree;
  v.Entries(data - std::size_t{Word(volume, kRootEntries)} * 32, data, tree);
  std::vector<unsigned> blocks;  // one in every SHARE of the clusters that hold no folder
  std::set<std::size_t> entries;  // of the files that own them
  for (unsigned c = 2; v.At(c) + cluster <= volume.size(); c += share) {
    while (tree.folders.contains(c)) ++c;
    if (v.At(c) + cluster > volume.size()) break;
    blocks.push_back(c);
    if (const auto owner = tree.owners.find(c); owner != tree.owners.end()) entries.insert(owner->second);
  }
  for (unsigned k = 1; k <= copies; ++k) {
    std::vector<char> older = volume;
    for (const unsigned c : blocks) {
      // A different pattern in every state: each differs from the next.
      const unsigned pattern = 0x11 * k + 1;
      for (std::size_t at = v.At(c), i = 0; i < cluster; ++i) {
        older[at + i] = static_cast<char>(static_cast<unsigned char>(older[at + i]) ^ pattern);
      }
    }
    // The edit's time: noon, k days after 1 January 2000 (in months of 28
    // days), so earlier than the next state's and the volume's own.
    // Date: | year - 1980 (7 bits) | month (4) | day (5) |; time: | hour (5) | minute (6) | second / 2 (5) |
    const unsigned time = 12u << 11;
    const unsigned date = (20u + k / 336) << 9 | (1u + k / 28 % 12) << 5 | (1u + k % 28);
    for (const std::size_t e : entries) {
      older[e + kEntryTime] = static_cast<char>(time & 0xFF);
      older[e + kEntryTime + 1] = static_cast<char>(time >> 8);
      older[e + kEntryDate] = static_cast<char>(date & 0xFF);
      older[e + kEntryDate + 1] = static_cast<char>(date >> 8);
    }
    const std::string name = std::string(argv[4]) + "." + std::to_string(k);
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(older.data(), static_cast<std::streamsize>(older.size()));
    if (!out) {
      std::cerr << "quillex-benchhistory: cannot write " << name << "\n";
      return 1;
    }
  }
  std::cout << blocks.size() << " blocks and the times of " << entries.size() << " files changed in each of "
            << copies << " older states\n";
  return 0;
}
