// FAT12 and FAT16 volumes made by mkfs.fat and filled by mtools from a tree on
// disk, laid out the way quillex4 addresses a phone's partition: one cluster
// per fs_block, one reserved sector, one FAT, and a data area that begins on
// an fs_block boundary once the volume sits three sectors after its
// partition table. Also seeded random trees to put in, and a byte-for-byte
// comparison of two trees.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace quillex::test {


// ---------------------------------------------------------------------------
// Programs.

// Full path of an installed program: searched on PATH, then in /usr/sbin and
// /sbin (mkfs.fat lives there). Empty when not found.
std::string FindProgram(const std::string& name);

// Names of the programs among mkfs.fat, mcopy, mmd, mdel, mattrib and mren
// that are not installed, separated by blanks; empty when all are.
std::string MissingFatPrograms();

// The peers and volume makers come from optional packages (scripts/setup):
// a test that needs one that is missing is skipped, saying which.
#define QUILLEX_SKIP_WITHOUT_FAT_PROGRAMS()                                                   \
  if (const std::string missing_ = ::quillex::test::MissingFatPrograms(); !missing_.empty()) \
  GTEST_SKIP() << "not installed: " << missing_ << " (Debian packages dosfstools and mtools)"
#define QUILLEX_SKIP_WITHOUT_PROGRAM(program, package)           \
  if (::quillex::test::FindProgram(program).empty())            \
  GTEST_SKIP() << "not installed: " << (program) << " (Debian package " << (package) << ")"

struct ProgramOutput {
  int status = -1;  // exit status; -1 when the program did not exit normally
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
};

// Runs argv[0] (a full path) in the folder `dir`, with standard input from
// /dev/null and MTOOLS_SKIP_CHECK=1 and LC_ALL=C.UTF-8 in its environment
// (mtools then reads and writes names on disk as UTF-8); its two output
// streams are kept apart. It is killed after `timeoutMs`.
ProgramOutput RunProgramIn(const std::filesystem::path& dir, const std::vector<std::string>& argv,
                           int timeoutMs = 120000);

// The built quillex-mkraw, run in `dir` as a user would run it.
ProgramOutput RunQuillexMkraw(const std::filesystem::path& dir, const std::vector<std::string>& args);

// ---------------------------------------------------------------------------
// Volumes.


// How mkfs.fat lays a volume out where it is not as the phone lays it out:
// all zero is the phone's layout (one reserved sector, one FAT, clusters of
// one fs_block, the data area on an fs_block boundary).
struct PcLayout {
  bool mkfsDefaults = false;       // mkfs.fat's own choices but for the FAT type and size
  std::uint32_t clusterBytes = 0;  // 0: one fs_block
  std::uint32_t fats = 0;          // 0: one
  std::uint32_t reserved = 0;      // 0: one
  std::uint32_t rootEntries = 0;   // 0: as many as the layout and the tree want
  bool Any() const { return mkfsDefaults || clusterBytes != 0 || fats != 0 || reserved != 0 || rootEntries != 0; }
};

struct MtoolsVolumeSpec {
  FatType bits = FatType::Fat16;
  std::uint32_t fsBlockSize = 0x800;  // bytes per cluster: one fs_block
  std::uint32_t sizeKiB = 0;          // volume size; 0: chosen from the tree
  std::uint32_t minRootEntries = 64;  // raised to fit the layout (and the tree)
  PcLayout pc;
  std::uint32_t ClusterBytes() const { return pc.mkfsDefaults ? 0 : pc.clusterBytes != 0 ? pc.clusterBytes : fsBlockSize; }
};

// A volume image file and its layout, read back from its boot sector.
struct MtoolsVolume {
  std::filesystem::path image;
  std::uint32_t fsBlockSize = 0;
  std::uint16_t secsPerFat = 0;
  std::uint16_t rootEntries = 0;
  std::uint32_t sizeKiB = 0;
  std::uint16_t reserved = 1;
  std::uint8_t fats = 1;
  std::uint32_t clusterBytes = 0;

  // Sectors counted from the partition table sector, with the boot sector at
  // sector 3: the root directory and the data area (cluster 2).
  std::uint32_t RootSector() const { return 3u + reserved + fats * std::uint32_t{secsPerFat}; }
  std::uint32_t FirstDataSector() const { return RootSector() + (rootEntries * 32u + 511u) / 512u; }
};

// Runs mkfs.fat until the data area lies on an fs_block boundary (the root
// entry count is raised for that) and checks the layout in the boot sector.
// The image file must not exist yet. Throws std::runtime_error on failure.
MtoolsVolume MakeEmptyMtoolsVolume(const MtoolsVolumeSpec& plan, const std::filesystem::path& image);

// mtools commands on the volume; `target` names like "::/dir/file", in
// UTF-8. The sources are copied in the order given, each entry after the
// previous one, with their modification times (mcopy -s -m).
void CopyIntoVolume(const MtoolsVolume& volume, const std::vector<std::filesystem::path>& sources,
                    const std::string& target);  // mcopy -s -m
void MakeVolumeDirectory(const MtoolsVolume& volume, const std::string& target);  // mmd
void DeleteFromVolume(const MtoolsVolume& volume, const std::string& target);     // mdel
void DeleteFolderFromVolume(const MtoolsVolume& volume, const std::string& target);  // mdeltree
// mcopy -o: the file at `target` written again with the bytes of `source`.
void OverwriteInVolume(const MtoolsVolume& volume, const std::filesystem::path& source, const std::string& target);
void RenameInVolume(const MtoolsVolume& volume, const std::string& from, const std::string& to);  // mren
// mattrib with flags such as "-a", "+r", "+h".
void ChangeAttributes(const MtoolsVolume& volume, const std::vector<std::string>& flags,
                      const std::vector<std::string>& targets);
void ClearArchiveBit(const MtoolsVolume& volume, const std::vector<std::string>& targets);  // mattrib -a

// Copies every entry of `tree` into the volume's root directory, in name
// order, as mcopy stores them: files with the archive bit (20), folders 10,
// modification times kept.
void CopyTreeIntoVolume(const MtoolsVolume& volume, const std::filesystem::path& tree);

Bytes ReadVolume(const MtoolsVolume& volume);

// Everything at once: a volume at `image` sized for the tree (unless sizeKiB
// is set) with room in the root directory for its root entries, the tree
// copied in as CopyTreeIntoVolume does.
MtoolsVolume MakeMtoolsVolumeFromTree(MtoolsVolumeSpec plan, const std::filesystem::path& tree,
                                      const std::filesystem::path& image);

// ---------------------------------------------------------------------------
// Trees on disk.

struct RandomTreeOptions {
  std::uint64_t seed = 1;
  std::uint32_t clusterBytes = 0x800;  // sizes are drawn around multiples of it
  int depth = 3;                       // directory levels below the root
  int directoriesPerDirectory = 2;
  int filesPerDirectory = 5;
  int rootFiles = 5;
  std::uint32_t maxFileBytes = 200 * 1024;
  int emptyDirectoryOneIn = 6;  // a new directory stays empty one time in this many; 0: never
};

struct TreeCount {
  std::size_t files = 0;
  std::size_t directories = 0;
  std::uint64_t bytes = 0;
  // Clusters the tree takes on a volume with the given cluster size: file
  // data, and the entries of every directory but the root (long names
  // included, dot entries counted).
  std::uint64_t clusters = 0;
  // Directory entries the tree's root directory takes, long names included.
  std::uint32_t rootEntries = 0;
};

// Writes a seeded random tree below `root` (created if missing): nested
// directories (some empty), names with blanks, mixed case, several dots,
// lengths on and around the 13-character steps of long names, upper-case 8.3
// names; files that are empty, exact cluster multiples or one byte off, and
// from a few bytes to maxFileBytes. Names are unique in a directory whatever
// their case, never begin or end with a blank or dot, and never fit 8.3
// unless they are upper case.
TreeCount WriteRandomTree(const std::filesystem::path& root, const RandomTreeOptions& options);

TreeCount CountTree(const std::filesystem::path& root, std::uint32_t clusterBytes);

// Empty when both trees hold the same directories and files with the same
// bytes; otherwise the first difference met, in name order, described with
// its path relative to the roots.
std::string CompareTrees(const std::filesystem::path& expected, const std::filesystem::path& actual);

// Sets a file's or folder's modification time with touch -m -d WHEN (local
// time, such as "2011-02-03 04:05:06").
void SetModificationTime(const std::filesystem::path& path, const std::string& when);

// Empty when every file and folder below `expected` (not `expected` itself)
// is in `actual` with the same modification time, to FAT's 2 seconds;
// otherwise the first difference, in name order.
std::string CompareTreeTimes(const std::filesystem::path& expected, const std::filesystem::path& actual);

// Seeded random bytes (splitmix64).
Bytes SeededBytes(std::size_t count, std::uint64_t seed);

}  // namespace quillex::test
