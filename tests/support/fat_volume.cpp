#include "support/fat_volume.h"

#include <algorithm>
#include <stdexcept>

namespace quillex::test {
namespace {

constexpr std::uint32_t kSector = 512;
constexpr std::uint32_t kEntry = 32;

// Boot sector fields.
constexpr std::size_t kBsOemName = 3;
constexpr std::size_t kBsBytesPerSector = 11;
constexpr std::size_t kBsSectorsPerCluster = 13;
constexpr std::size_t kBsReservedSectors = 14;
constexpr std::size_t kBsFatCount = 16;
constexpr std::size_t kBsRootEntries = 17;
constexpr std::size_t kBsSmallSectors = 19;
constexpr std::size_t kBsMedia = 21;
constexpr std::size_t kBsSecsPerFat = 22;
constexpr std::size_t kBsSectorsPerTrack = 24;
constexpr std::size_t kBsHeads = 26;
constexpr std::size_t kBsHiddenSectors = 28;
constexpr std::size_t kBsLargeSectors = 32;
constexpr std::size_t kBsDrive = 36;
constexpr std::size_t kBsExtSign = 38;
constexpr std::size_t kBsSerial = 39;
constexpr std::size_t kBsLabel = 43;
constexpr std::size_t kBsFsType = 54;
constexpr std::size_t kBsSignature = 510;
constexpr std::uint8_t kMedia = 0xF8;

// Directory entry fields.
constexpr std::size_t kDeAttribute = 11;
constexpr std::size_t kDeTime = 22;
constexpr std::size_t kDeDate = 24;
constexpr std::size_t kDeCluster = 26;
constexpr std::size_t kDeSize = 28;
// Long name piece: where its 13 code units lie.
constexpr std::size_t kPieceUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr std::size_t kPieceChecksum = 13;

void PutText(Bytes& b, std::size_t at, const std::string& text, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) b.at(at + i) = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

std::uint32_t CeilDiv(std::uint32_t a, std::uint32_t b) { return (a + b - 1) / b; }

}  // namespace

FatVolume::FatVolume(const FatOptions& o)
    : type_(o.type), clusterSize_(o.clusterSize), clusters_(o.clusters) {
  const bool powerOfTwo = (clusterSize_ & (clusterSize_ - 1)) == 0;
  if (!powerOfTwo || clusterSize_ < 0x800 || clusterSize_ > 0x10000) {
    throw std::invalid_argument("cluster size must be a power of two from 0x800 to 0x10000");
  }
  // Fewer than 4085 clusters is what makes a volume FAT12 for other readers.
  const std::uint32_t maxClusters = type_ == FatType::Fat12 ? 4084 : 65524;
  if (clusters_ == 0 || clusters_ > maxClusters) throw std::invalid_argument("cluster count out of range");

  const std::uint32_t entries = clusters_ + 2;
  const std::uint32_t fatBytes = type_ == FatType::Fat12 ? (3 * entries + 1) / 2 : 2 * entries;
  secsPerFat_ = static_cast<std::uint16_t>(CeilDiv(fatBytes, kSector));
  // Data area on an fs_block boundary of the unit: the partition table's
  // three sectors + boot sector + FAT + root sectors is a whole number of clusters.
  std::uint32_t rootEntries = std::max<std::uint32_t>(16, CeilDiv(o.rootEntries, 16) * 16);
  while ((kSectorsBeforeVolume + 1 + secsPerFat_ + rootEntries / 16) % SectorsPerCluster() != 0) {
    rootEntries += 16;
  }
  if (rootEntries > 0xFFF0) throw std::invalid_argument("too many root entries");
  rootEntries_ = static_cast<std::uint16_t>(rootEntries);

  const std::uint32_t total = 1u + secsPerFat_ + rootEntries_ / 16u + clusters_ * SectorsPerCluster();
  bytes_.assign(std::size_t{total} * kSector, 0);

  Bytes& b = bytes_;
  b[0] = 0xEB;  // jump by 0, no-op
  b[1] = 0x00;
  b[2] = 0x90;
  PutText(b, kBsOemName, o.oemName, 8);
  Put16(b, kBsBytesPerSector, kSector);
  b[kBsSectorsPerCluster] = static_cast<std::uint8_t>(SectorsPerCluster());
  Put16(b, kBsReservedSectors, 1);
  b[kBsFatCount] = 1;
  Put16(b, kBsRootEntries, rootEntries_);
  Put16(b, kBsSmallSectors, total <= 0xFFFF ? total : 0);
  b[kBsMedia] = kMedia;
  Put16(b, kBsSecsPerFat, secsPerFat_);
  Put16(b, kBsSectorsPerTrack, 32);
  Put16(b, kBsHeads, 16);
  Put32(b, kBsHiddenSectors, kSectorsBeforeVolume);
  Put32(b, kBsLargeSectors, total <= 0xFFFF ? 0 : total);
  b[kBsDrive] = 0x80;
  b[kBsExtSign] = 0x29;
  Put32(b, kBsSerial, 0x1234ABCD);
  PutText(b, kBsLabel, o.volumeLabel, 11);
  PutText(b, kBsFsType, type_ == FatType::Fat12 ? "FAT12" : "FAT16", 8);
  b[kBsSignature] = 0x55;
  b[kBsSignature + 1] = 0xAA;

  // Entries 0 and 1: the media byte, then end marks.
  SetFat(0, type_ == FatType::Fat12 ? 0xF00 | kMedia : 0xFF00 | kMedia);
  SetFat(1, EndOfChain());
  dirs_.push_back(Directory{});  // the root
}

std::uint32_t FatVolume::ClusterOffset(std::uint16_t cluster) const {
  if (cluster < 2 || cluster >= clusters_ + 2) throw std::out_of_range("no such cluster");
  return DataOffset() + (cluster - 2u) * clusterSize_;
}

void FatVolume::SetFat(std::uint16_t cluster, std::uint16_t value) {
  Bytes& b = bytes_;
  if (type_ == FatType::Fat16) {
    if (2u * cluster + 2 > 512u * secsPerFat_) throw std::out_of_range("FAT entry beyond the FAT");
    Put16(b, FatOffset() + 2u * cluster, value);
    return;
  }
  // Two 12-bit entries share three bytes:
  //   [a7..a0] [b3..b0 a11..a8] [b11..b4]
  const std::size_t at = FatOffset() + 3u * cluster / 2;
  if (3u * cluster / 2 + 2 > 512u * secsPerFat_ || value > 0xFFF) throw std::out_of_range("bad FAT12 entry");
  if (cluster % 2 == 0) {
    b[at] = static_cast<std::uint8_t>(value & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>((b[at + 1] & 0xF0) | (value >> 8));
  } else {
    b[at] = static_cast<std::uint8_t>((b[at] & 0x0F) | (value & 0x0F) << 4);
    b[at + 1] = static_cast<std::uint8_t>(value >> 4);
  }
}

std::uint16_t FatVolume::Fat(std::uint16_t cluster) const {
  const Bytes& b = bytes_;
  if (type_ == FatType::Fat16) {
    const std::size_t at = FatOffset() + 2u * cluster;
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
  }
  const std::size_t at = FatOffset() + 3u * cluster / 2;
  const auto pair = static_cast<std::uint32_t>(b.at(at) | b.at(at + 1) << 8);
  return static_cast<std::uint16_t>(cluster % 2 == 0 ? pair & 0xFFF : pair >> 4);
}

void FatVolume::Link(const std::vector<std::uint16_t>& clusters, std::optional<std::uint16_t> end) {
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : end.value_or(EndOfChain()));
  }
}

std::vector<std::uint16_t> FatVolume::Allocate(std::uint32_t count) {
  if (nextFree_ + count > clusters_ + 2) throw std::length_error("volume full");
  std::vector<std::uint16_t> out;
  for (std::uint32_t i = 0; i < count; ++i) out.push_back(static_cast<std::uint16_t>(nextFree_++));
  return out;
}

void FatVolume::WriteCluster(std::uint16_t cluster, const Bytes& data, std::uint32_t at) {
  if (at + data.size() > clusterSize_) throw std::length_error("data beyond the cluster");
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(ClusterOffset(cluster) + at));
}

std::uint32_t FatVolume::SlotOffset(const Directory& d, std::uint32_t index) const {
  if (d.clusters.empty()) return RootOffset() + kEntry * index;
  return ClusterOffset(d.clusters.at(index / EntriesPerCluster())) + kEntry * (index % EntriesPerCluster());
}

std::uint32_t FatVolume::NextEntryOffset(Dir dir) const {
  const Directory& d = dirs_.at(dir);
  if (d.clusters.empty() || d.used < d.clusters.size() * EntriesPerCluster()) return SlotOffset(d, d.used);
  return static_cast<std::uint32_t>(DataOffset() + (nextFree_ - 2) * clusterSize_);
}

std::uint32_t FatVolume::AddRaw(Dir dir, const Bytes& entry) {
  if (entry.size() != kEntry) throw std::invalid_argument("a directory entry has 32 bytes");
  Directory& d = dirs_.at(dir);
  if (d.clusters.empty() && d.used >= rootEntries_) throw std::length_error("root directory full");
  if (!d.clusters.empty() && d.used == d.clusters.size() * EntriesPerCluster()) {
    const std::uint16_t grown = Allocate(1).front();
    SetFat(d.clusters.back(), grown);
    SetFat(grown, EndOfChain());
    d.clusters.push_back(grown);
  }
  const std::uint32_t at = SlotOffset(d, d.used++);
  std::copy(entry.begin(), entry.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
  return at;
}

std::uint32_t FatVolume::AddShort(Dir dir, const std::string& shortName, std::uint8_t attribute,
                                  std::uint16_t firstCluster, std::uint32_t size) {
  return AddRaw(dir, ShortEntry(Name83(shortName), attribute, firstCluster, size));
}

std::uint32_t FatVolume::AddFile(Dir dir, const FileSpec& file) {
  const auto name = Name83(file.shortName);
  std::vector<std::uint16_t> chain = file.clusters;
  if (chain.empty()) chain = Allocate(CeilDiv(static_cast<std::uint32_t>(file.data.size()), clusterSize_));
  if (file.data.size() > chain.size() * clusterSize_) throw std::length_error("data longer than its chain");
  for (std::size_t i = 0; i * clusterSize_ < file.data.size(); ++i) {
    const auto from = file.data.begin() + static_cast<std::ptrdiff_t>(i * clusterSize_);
    const auto to = file.data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(file.data.size(), (i + 1) * clusterSize_));
    WriteCluster(chain[i], Bytes(from, to));
  }
  Link(chain);
  if (!file.wideLongName.empty()) {
    for (const Bytes& piece : LongPieces(file.wideLongName, name)) AddRaw(dir, piece);
  } else if (!file.longName.empty()) {
    for (const Bytes& piece : LongPieces(file.longName, name)) AddRaw(dir, piece);
  }
  const std::uint16_t first = file.firstCluster.value_or(chain.empty() ? 0 : chain.front());
  const auto size = file.size.value_or(static_cast<std::uint32_t>(file.data.size()));
  return AddRaw(dir, ShortEntry(name, file.attribute, first, size));
}

FatVolume::Dir FatVolume::AddDirectory(Dir parent, const std::string& shortName, const std::string& longName) {
  const std::uint16_t parentCluster = dirs_.at(parent).clusters.empty() ? 0 : dirs_.at(parent).clusters.front();
  const std::uint16_t cluster = Allocate(1).front();
  Link({cluster});
  WriteCluster(cluster, Bytes(clusterSize_, 0));
  dirs_.push_back(Directory{{cluster}, 0});
  const Dir child = dirs_.size() - 1;
  AddShort(child, ".", kAttrSubdirectory, cluster, 0);
  AddShort(child, "..", kAttrSubdirectory, parentCluster, 0);
  FileSpec entry;
  entry.shortName = shortName;
  entry.longName = longName;
  entry.attribute = kAttrSubdirectory;
  entry.clusters = {cluster};
  AddFile(parent, entry);
  return child;
}

std::array<std::uint8_t, 11> FatVolume::Name83(const std::string& shortName) {
  std::array<std::uint8_t, 11> out;
  out.fill(' ');
  std::string base = shortName;
  std::string extension;
  if (shortName != "." && shortName != "..") {
    const std::size_t dot = shortName.rfind('.');
    if (dot != std::string::npos) {
      base = shortName.substr(0, dot);
      extension = shortName.substr(dot + 1);
    }
  }
  if (base.empty() || base.size() > 8 || extension.size() > 3) {
    throw std::invalid_argument("not an 8.3 name: " + shortName);
  }
  std::copy(base.begin(), base.end(), out.begin());
  std::copy(extension.begin(), extension.end(), out.begin() + 8);
  return out;
}

Bytes FatVolume::ShortEntry(const std::array<std::uint8_t, 11>& name, std::uint8_t attribute,
                            std::uint16_t firstCluster, std::uint32_t size) {
  Bytes e(kEntry, 0);
  std::copy(name.begin(), name.end(), e.begin());
  e[kDeAttribute] = attribute;
  Put16(e, kDeTime, (12u << 11) | (30u << 5));          // 12:30:00
  Put16(e, kDeDate, ((2021u - 1980u) << 9) | (6u << 5) | 15u);  // 2021-06-15
  Put16(e, kDeCluster, firstCluster);
  Put32(e, kDeSize, size);
  return e;
}

std::uint8_t FatVolume::Checksum(const std::array<std::uint8_t, 11>& name) {
  std::uint8_t sum = 0;
  for (std::uint8_t c : name) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + c);
  return sum;
}

Bytes FatVolume::LongPiece(std::uint8_t sequence, const std::array<std::uint16_t, 13>& units,
                           std::uint8_t checksum) {
  Bytes e(kEntry, 0);
  e[0] = sequence;
  e[kDeAttribute] = kAttrLongNamePiece;
  e[kPieceChecksum] = checksum;
  for (std::size_t i = 0; i < 13; ++i) Put16(e, kPieceUnits[i], units[i]);
  return e;
}

void FatVolume::SetTimes(std::uint32_t entry, const EntryTimes& times) {
  bytes_.at(entry + 13) = times.createdCentis;
  Put16(bytes_, entry + 14, times.createdTime);
  Put16(bytes_, entry + 16, times.createdDate);
  Put16(bytes_, entry + 18, times.accessedDate);
  Put16(bytes_, entry + 22, times.writtenTime);
  Put16(bytes_, entry + 24, times.writtenDate);
}

std::vector<Bytes> FatVolume::LongPieces(const std::string& longName,
                                         const std::array<std::uint8_t, 11>& shortName) {
  std::u16string units;
  for (char c : longName) units += static_cast<char16_t>(static_cast<unsigned char>(c));
  return LongPieces(units, shortName);
}

std::vector<Bytes> FatVolume::LongPieces(const std::u16string& longName,
                                         const std::array<std::uint8_t, 11>& shortName) {
  if (longName.empty() || longName.size() > 255) throw std::invalid_argument("long name of 1 to 255 code units");
  const std::size_t count = (longName.size() + 12) / 13;
  const std::uint8_t checksum = Checksum(shortName);
  std::vector<Bytes> pieces;
  for (std::size_t k = count; k >= 1; --k) {
    std::array<std::uint16_t, 13> units{};
    for (std::size_t j = 0; j < 13; ++j) {
      const std::size_t p = (k - 1) * 13 + j;
      units[j] = p < longName.size() ? longName[p] : p == longName.size() ? 0x0000 : 0xFFFF;
    }
    const auto sequence = static_cast<std::uint8_t>(k | (k == count ? 0x40 : 0));
    pieces.push_back(LongPiece(sequence, units, checksum));
  }
  return pieces;
}

}  // namespace quillex::test
