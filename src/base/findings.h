// What the stages find, told as they go to whoever listens: the program
// quillex builds its listing, report, hashes and progress line from these
// calls; quillex4 listens to none of them. The console and log texts are
// written as before, whoever listens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillex {

// One MTab unit as read.
struct UnitFound {
  std::uint32_t Index = 0;  // from 1
  std::string MountPath;    // as stored (8-bit text)
  std::uint16_t StartBlock = 0;
  std::uint32_t SizeBytes = 0;
  std::string Path;  // its folder on disk ("" when the unit holds nothing recognised)
};

// A partition reached through a unit: its table entry, and the boot sector
// fields its walk goes by. Told before it is walked; Supported is false
// for the types not walked.
// A FAT boot sector's geometry, as the partition driver reads it.
struct BootGeometry {
  std::uint16_t BytesPerSector = 0;
  std::uint8_t SectorsPerCluster = 0;
  std::uint16_t ReservedSectors = 0;
  std::uint8_t NumberOfFAT = 0;
  std::uint16_t MaxRootEntry = 0;
  std::uint32_t TotalSectors = 0;  // the small count, else the large one
  std::uint16_t SecsPerFAT = 0;
};

struct PartitionFound {
  std::uint32_t Unit = 0;  // the UnitFound index
  std::uint16_t Entry = 0;  // partition entry number, from 1 (0: none)
  std::uint8_t ParType = 0;
  bool Supported = false;
  std::uint32_t FirstSecOffset = 0;
  std::uint32_t NumOfSectors = 0;
  std::uint32_t FsInfoOffset = 0;  // byte offset of its boot sector in the image
  BootGeometry Boot;
  std::uint32_t RootSector = 0;
  std::uint16_t FirstDataSector = 0;
  bool FromBootSector = false;    // addressed as the boot sector says, not as the phone lays it out
  std::uint32_t ClusterBytes = 0;  // bytes per cluster as addressed
  std::uint32_t RootOffset = 0;    // where its root directory lies in the image
  std::uint32_t RootBytes = 0;
  std::string Path;
};

// A directory entry that names a file or a folder.
struct ItemFound {
  std::string Path;        // on disk, as made (or as an extraction would make it)
  std::string LogName;     // the name as the log shows it (8-bit text)
  std::string NameBefore;  // the entry's own name, when it was saved under a numbered one
  bool Directory = false;
  bool Deleted = false;
  std::uint8_t Attributes = 0;
  std::uint16_t FirstCluster = 0;
  std::uint32_t Size = 0;         // as recorded
  std::uint32_t EntryOffset = 0;  // of the short entry, in the image
  // The entry's dates and times as stored (FAT date and time words).
  std::uint16_t WrittenDate = 0;
  std::uint16_t WrittenTime = 0;
  std::uint16_t AccessedDate = 0;
  std::uint16_t CreatedDate = 0;
  std::uint16_t CreatedTime = 0;
  std::uint8_t CreatedCentis = 0;
};

// One cluster of an item's chain, and where it lies.
struct ClusterPlace {
  std::uint16_t Cluster = 0;
  std::uint32_t Offset = 0;    // in the image
  std::uint32_t Bytes = 0;     // the cluster's size in its volume
  std::uint32_t FatEntry = 0;  // where its FAT entry lies in the image
};

class Findings {
 public:
  virtual ~Findings() = default;

  // A stage of the run begins; its work counts to `total` (bytes, or 0 when
  // not known), told as it goes by Advance.
  virtual void Stage(std::string_view /*name*/, std::uint64_t /*total*/) {}
  virtual void Advance(std::uint64_t /*done*/) {}

  virtual void Unit(const UnitFound& /*unit*/) {}
  virtual void Partition(const PartitionFound& /*partition*/) {}

  // A file about to be written, or a folder about to be walked. Until its
  // ItemEnd every Cluster, ChainLoop and FileBytes call is about it (a
  // folder's files and folders nest inside it).
  virtual void ItemBegin(const ItemFound& /*item*/) {}
  // The file's bytes as written, in order; data is null for a run of zeros.
  virtual void FileBytes(const std::uint8_t* /*data*/, std::size_t /*size*/) {}
  // One cluster of the item's chain, at `offset` in the image, its FAT
  // entry at `fatEntry`; lost when the image has no data for it.
  virtual void Cluster(std::uint16_t /*cluster*/, std::uint32_t /*offset*/, std::uint32_t /*fatEntry*/, bool /*lost*/) {}
  virtual void ChainLoop(std::uint16_t /*cluster*/) {}
  // The item is done: a file with `written` bytes (a folder with 0).
  virtual void ItemEnd(std::uint32_t /*written*/) {}
  // An entry that names a file or folder but is not made, and why.
  virtual void ItemSkipped(const ItemFound& /*item*/, std::string_view /*why*/) {}

  // Every warning or error line the console shows, as it shows it.
  virtual void Warning(std::string_view /*line*/) {}
};

// The listener that listens to nothing.
Findings& NoFindings();

}  // namespace quillex
