// FAT12/FAT16 extraction: addressing inside the normal FS image, FAT
// entries, the directory walk and file extraction.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/output.h"
#include "base/paths.h"
#include "base/platform.h"
#include "rawimage/rawimage.h"

namespace quillex {

// Directory entry, 32 bytes.
inline constexpr std::uint32_t kDirEntrySize = 32;
inline constexpr std::uint32_t kDirName = 0;          // 8 chars
inline constexpr std::uint32_t kDirExtension = 8;     // 3 chars
inline constexpr std::uint32_t kDirAttribute = 11;    // u8
inline constexpr std::uint32_t kDirCase = 12;         // u8, kCaseLower* flags
inline constexpr std::uint32_t kDirCreatedCentis = 13;  // u8, 10 ms units, 0-199
inline constexpr std::uint32_t kDirCreatedTime = 14;  // u16
inline constexpr std::uint32_t kDirCreatedDate = 16;  // u16
inline constexpr std::uint32_t kDirAccessedDate = 18; // u16
inline constexpr std::uint32_t kDirWrittenTime = 22;  // u16
inline constexpr std::uint32_t kDirWrittenDate = 24;  // u16
inline constexpr std::uint32_t kDirFirstCluster = 26; // u16
inline constexpr std::uint32_t kDirSize = 28;         // u32
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrLongNamePiece = 0x0F;
// Read-only, hidden, system, directory and archive at once: an old way of
// marking a file that the phones still write; saved as a file.
inline constexpr std::uint8_t kAttrAllFileBits = 0x33;
// Written by PCs for a short name that was all lower case in its base name
// or extension: the name is stored upper case and shown lower case.
inline constexpr std::uint8_t kCaseLowerBase = 0x08;
inline constexpr std::uint8_t kCaseLowerExtension = 0x10;
// First byte of a deleted entry.
inline constexpr std::uint8_t kDeletedMark = 0xE5;
// Offsets of the 13 UTF-16 code units of a long-name piece.
inline constexpr std::uint32_t kLongNameChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// The partition types the FAT stages walk, as a partition table entry
// gives them.
inline constexpr std::uint8_t kTypeFat12 = 0x01;
inline constexpr std::uint8_t kTypeFat16 = 0x04;

inline constexpr std::uint32_t kSectorSize = 512;
// A subdirectory deeper than this below the unit directory is not walked.
inline constexpr std::uint32_t kMaxDirectoryDepth = 64;

// The partition being extracted, as the FAT stages address it: built by the
// partition driver from its partition table entry and boot sector, read by
// the addressing, and counting the files its walk saves.
//
// Two layouts. The phone's: one reserved sector, one FAT, one cluster per
// fs_block, the data area on an fs_block boundary; sectors count from the
// table's fs_block with block numbers wrapping at 16 bits, as the phones'
// own file system does. A volume whose boot sector describes another
// standard layout (a PC formatted it: two FATs, other reserved sectors or
// cluster sizes) is read as the boot sector says (FromBootSector), its
// sectors counted from the boot sector in plain 32-bit offsets.
struct Volume {
  std::uint32_t FsBlockSize = 0;  // bytes per fs_block
  // From the partition table entry.
  std::uint8_t ParType = 0;
  std::uint32_t FirstSecOffset = 0;
  std::uint32_t TableBlock = 0;  // fs_block of the table; sectors count from it
  // Set by the partition driver.
  std::uint32_t FsInfoOffset = 0;     // byte offset of its boot sector
  std::uint32_t RootSector = 0;       // first root directory sector
  std::uint16_t FirstDataSector = 0;  // first sector of the data area (cluster 2), low 16 bits
  std::uint32_t FilesSaved = 0;
  // The layout read from the boot sector, where it is used.
  bool FromBootSector = false;
  std::uint32_t ClusterBytes = 0;  // bytes per cluster: FsBlockSize in the phone's layout
  std::uint32_t FatSector = 0;     // first sector of the first FAT
  std::uint32_t DataSector = 0;    // first sector of the data area, whole
  std::uint32_t LastCluster = 0;   // the volume's highest cluster number
};

// Sets the volume's layout from the boot sector's geometry (BootGeometry,
// base/findings.h): the phone's (RootSector, FirstDataSector; the
// boot sector's other counts unused), or the boot sector's where it
// describes a standard layout that differs from the phone's.
void ChooseLayout(Volume& volume, const BootGeometry& boot);
// The clusters a boot sector's counts leave for the data area, in the
// 512-byte sectors the tool counts: the sectors after the reserved ones,
// the FATs and the root directory, in whole clusters.
std::uint32_t ClusterCount(const BootGeometry& boot);

// Addressing of the volume's sectors and clusters in the image.
std::uint32_t SectorOffset(const Volume& volume, std::uint32_t sector);
std::uint32_t ClusterOffset(const Volume& volume, std::uint16_t cluster);
std::uint16_t OffsetToCluster(const Volume& volume, std::uint32_t offset);
// Where the cluster's entry in the first FAT lies in the image: its first
// byte (FAT16), or for FAT12 the byte holding its low bits (even cluster)
// or its high bits (odd).
std::uint32_t FatEntryOffset(const Volume& volume, std::uint16_t cluster);
// The cluster's entry in the first FAT: the next cluster, or a marker.
std::uint16_t NextCluster(const RawImageState& image, const Volume& volume, std::uint16_t cluster);
// Whether a cluster at this image offset has its data there: offset 0 is
// the sign of none. A cluster of the phone's layout (one fs_block) cut by
// the image's end is lost too; a larger cluster that starts inside the image
// is read, its part past the end as zeros: the flash maps only the blocks
// ever written, so the last cluster of the used area is often partly mapped.
inline bool ClusterHasData(const RawImageState& image, const Volume& volume, std::uint32_t offset) {
  if (offset == 0) return false;
  // The image as written, without the zero blocks that follow it in memory.
  if (volume.FromBootSector) return offset < std::uint64_t{image.MaxBlockNumber} * image.FsBlockSize;
  return image.FsImage.InBounds(offset, image.FsBlockSize);
}
// Whether a FAT value ends a chain of this partition type.
bool EndsChain(std::uint8_t parType, std::uint16_t value);
// The highest cluster number a FAT of this type can hand out.
std::uint16_t LastCluster(std::uint8_t parType);
// The highest cluster number of the volume: its own last where its layout
// comes from the boot sector, else the FAT type's.
std::uint16_t LastCluster(const Volume& volume);

// State of one partition's walk, and what it writes to: the run's texts,
// the volume, and the names made on disk.
struct FatWalk {
  FatWalk(RunOutput& runOut, Volume& walkedVolume, CreatedNames& createdNames)
      : out(runOut), volume(walkedVolume), names(createdNames) {}
  RunOutput& out;
  Volume& volume;
  CreatedNames& names;
  std::unordered_set<std::uint32_t> walkedDirectories;  // first-cluster offsets
  // Clusters met in the current file's chain: mark == stamp.
  std::vector<std::uint32_t> chainMark = std::vector<std::uint32_t>(65536, 0);
  std::uint32_t chainStamp = 0;
};

// The root directory area of the volume (rootBytes long, at its RootSector),
// then every subdirectory.
void WalkRootDirectory(RunOutput& out, const RawImageState& image, Volume& volume, CreatedNames& names,
                       std::uint32_t rootBytes, const std::string& path);
// One subdirectory whose first cluster lies at dirOffset, `depth` levels below
// the unit directory.
void WalkDirectory(const RawImageState& image, FatWalk& walk, std::uint32_t dirOffset, const std::string& path,
                   std::uint32_t depth);
// Saves the file of an entry, at item.Path, from its first cluster, cut to
// its size. A deleted file's FAT entries were freed, so its data is taken
// from its first cluster and the free clusters after it. The file gets
// `times` once written. Returns false when it could not be created (reported).
bool SaveFile(const RawImageState& image, FatWalk& walk, const ItemFound& item, const platform::FileTimes& times);

// The times an entry's stamps give, where they are valid dates and times:
// the one rule for the files made, the report and the body file.
platform::FileTimes TimesOf(const ItemFound& entry);
// The same, read from the entry at this offset of the image.
platform::FileTimes EntryTimes(const RawImageState& image, std::uint64_t entry);
// A FAT date and time as a local time; false when either is not valid.
bool DecodeFatTime(std::uint16_t date, std::uint16_t time, platform::LocalTime& out);

// Name of a short entry: "NAME.EXT" with both parts trimmed of every leading
// and trailing byte of code 32 or less.
std::string ShortName(const RawImageState& image, std::uint64_t entry);
// The same name as it goes to disk: the base name and extension in lower
// case where the entry's case flags say so (ASCII letters only).
std::string ShortDiskName(const RawImageState& image, std::uint64_t entry);

}  // namespace quillex
