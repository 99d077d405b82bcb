// FAT12/FAT16 volumes built byte by byte, for tests that need exact control
// of every directory entry and FAT value.
//
// The layout follows the tool's addressing of a volume placed three sectors
// after a partition table at the start of an fs_block (mkraw::MakeUnitImage):
//
//   volume sector 0        boot sector (one reserved sector)
//   sectors 1 ..           the one FAT
//   then                   the root directory
//   then                   the data area, cluster 2 first; one cluster is one
//                          fs_block, and the data area begins on an fs_block
//                          boundary of the unit (volume sector + 3 is a
//                          multiple of the sectors per cluster)
//
// The root entry count is raised to the smallest multiple of 16 that puts
// the data area there. Offsets returned here are byte offsets in the volume.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace quillex::test {


inline constexpr std::uint8_t kAttrReadOnly = 0x01;
inline constexpr std::uint8_t kAttrHidden = 0x02;
inline constexpr std::uint8_t kAttrSystem = 0x04;
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrSubdirectory = 0x10;
inline constexpr std::uint8_t kAttrArchive = 0x20;
inline constexpr std::uint8_t kAttrLongNamePiece = 0x0F;

// Sectors before the boot sector in the unit: the partition table and two
// empty sectors.
inline constexpr std::uint32_t kSectorsBeforeVolume = 3;

struct FatOptions {
  FatType type = FatType::Fat16;
  std::uint32_t clusterSize = 0x800;  // = fs_block size: 0x800 to 0x10000, a power of two
  std::uint32_t clusters = 32;        // data clusters, numbered 2 .. clusters + 1
  std::uint32_t rootEntries = 16;     // at least this many; raised as said above
  std::string oemName = "MSWIN4.1";   // 8 bytes, padded with blanks
  std::string volumeLabel = "NO NAME";
};

// One file: its entry (and long name pieces before it) and its data.
struct FileSpec {
  std::string shortName;  // "NAME.EXT" (parts of up to 8 and 3 bytes), "." or ".."
  std::string longName;   // empty: no long name pieces; each byte one code unit
  Bytes data;
  std::uint8_t attribute = kAttrArchive;
  // The chain, in order; empty: fresh consecutive clusters for the data
  // (none for empty data). The data fills them in order; each is linked to
  // the next and the last gets the end mark.
  std::vector<std::uint16_t> clusters;
  std::optional<std::uint32_t> size;           // recorded size; default data.size()
  std::optional<std::uint16_t> firstCluster;   // recorded; default clusters[0], or 0
  std::u16string wideLongName = {};  // used instead of longName when not empty
};

// Dates and times as a directory entry holds them.
inline std::uint16_t FatDate(int year, int month, int day) {
  return static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
}
inline std::uint16_t FatTime(int hour, int minute, int second) {
  return static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2);
}

// The times of a directory entry; 0 is what a fresh entry holds.
struct EntryTimes {
  std::uint16_t writtenDate = 0, writtenTime = 0;
  std::uint16_t accessedDate = 0;
  std::uint16_t createdDate = 0, createdTime = 0;
  std::uint8_t createdCentis = 0;
};

class FatVolume {
 public:
  // A directory: kRoot or a value returned by AddDirectory.
  using Dir = std::size_t;
  static constexpr Dir kRoot = 0;

  explicit FatVolume(const FatOptions& options = {});

  // --- Geometry.
  FatType Type() const { return type_; }
  std::uint32_t ClusterSize() const { return clusterSize_; }
  std::uint32_t SectorsPerCluster() const { return clusterSize_ / 512; }
  std::uint32_t Clusters() const { return clusters_; }
  std::uint16_t SecsPerFat() const { return secsPerFat_; }
  std::uint16_t RootEntries() const { return rootEntries_; }
  std::uint32_t TotalSectors() const { return static_cast<std::uint32_t>(bytes_.size() / 512); }
  std::uint32_t FatOffset() const { return 512; }
  std::uint32_t RootOffset() const { return 512 * (1u + secsPerFat_); }
  std::uint32_t DataOffset() const { return RootOffset() + 32u * rootEntries_; }
  std::uint32_t ClusterOffset(std::uint16_t cluster) const;  // cluster 2 and up
  std::uint16_t EndOfChain() const { return type_ == FatType::Fat12 ? 0xFFF : 0xFFFF; }

  // --- FAT.
  void SetFat(std::uint16_t cluster, std::uint16_t value);
  std::uint16_t Fat(std::uint16_t cluster) const;
  // Links the clusters in order and ends the chain with `end` (default: the
  // end mark).
  void Link(const std::vector<std::uint16_t>& clusters, std::optional<std::uint16_t> end = {});
  // The next `count` clusters never handed out before, in order; their FAT
  // entries are left alone.
  std::vector<std::uint16_t> Allocate(std::uint32_t count);
  // Writes bytes into a cluster (at most its size).
  void WriteCluster(std::uint16_t cluster, const Bytes& data, std::uint32_t at = 0);

  // --- Directory entries. Each call appends at the directory's next free
  // slot and returns the entry's offset; a full subdirectory grows by a fresh
  // cluster linked to its chain, a full root directory throws.
  std::uint32_t AddRaw(Dir dir, const Bytes& entry);  // 32 bytes
  std::uint32_t AddShort(Dir dir, const std::string& shortName, std::uint8_t attribute,
                         std::uint16_t firstCluster, std::uint32_t size);
  // Long name pieces (last part first) followed by the short entry; returns
  // the short entry's offset.
  std::uint32_t AddFile(Dir dir, const FileSpec& file);
  // A subdirectory with its "." and ".." entries in a fresh cluster, listed
  // in `parent` (attribute 0x10, size 0).
  Dir AddDirectory(Dir parent, const std::string& shortName, const std::string& longName = {});
  // The clusters of a subdirectory's chain (none for the root).
  const std::vector<std::uint16_t>& DirClusters(Dir dir) const { return dirs_.at(dir).clusters; }
  // Offset of the slot that the next entry of `dir` takes (for a subdirectory
  // whose clusters are full, the start of the cluster it would grow by).
  std::uint32_t NextEntryOffset(Dir dir) const;
  std::uint32_t EntriesPerCluster() const { return clusterSize_ / 32; }

  // Writes the times into the entry at `entry` (an offset AddFile, AddShort
  // or AddRaw returned).
  void SetTimes(std::uint32_t entry, const EntryTimes& times);

  // --- Entry encoding, for raw entries.
  // "README.TXT" as the 11 bytes "README  TXT"; "." and ".." padded.
  static std::array<std::uint8_t, 11> Name83(const std::string& shortName);
  static Bytes ShortEntry(const std::array<std::uint8_t, 11>& name, std::uint8_t attribute,
                          std::uint16_t firstCluster, std::uint32_t size);
  static std::uint8_t Checksum(const std::array<std::uint8_t, 11>& name);
  // One long name piece: sequence byte, 13 UTF-16 code units, checksum.
  static Bytes LongPiece(std::uint8_t sequence, const std::array<std::uint16_t, 13>& units,
                         std::uint8_t checksum);
  // The pieces of a long name in the order they are stored (last part first,
  // its sequence number ORed with 0x40); each byte of the name is one code
  // unit, a name not filling its last piece ends with 0x0000 and 0xFFFF.
  static std::vector<Bytes> LongPieces(const std::string& longName,
                                       const std::array<std::uint8_t, 11>& shortName);
  static std::vector<Bytes> LongPieces(const std::u16string& longName,
                                       const std::array<std::uint8_t, 11>& shortName);

  const Bytes& Image() const { return bytes_; }
  Bytes& Image() { return bytes_; }

 private:
  struct Directory {
    std::vector<std::uint16_t> clusters;  // empty for the root
    std::uint32_t used = 0;               // entries appended so far
  };
  std::uint32_t SlotOffset(const Directory& d, std::uint32_t index) const;

  FatType type_;
  std::uint32_t clusterSize_;
  std::uint32_t clusters_;
  std::uint16_t secsPerFat_ = 0;
  std::uint16_t rootEntries_ = 0;
  std::uint32_t nextFree_ = 2;
  std::vector<Directory> dirs_;
  Bytes bytes_;
};

}  // namespace quillex::test
