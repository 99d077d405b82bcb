// The directory walk: every entry listed in the log, subdirectories recreated
// and walked depth first, files handed to SaveFile.
#include <algorithm>
#include <array>

#include "base/hex.h"
#include "base/names.h"
#include "base/paths.h"
#include "fat/fat.h"

namespace quillex {
namespace {

// The long name being gathered, twice: as the log shows it (the low byte of
// each UTF-16 code unit) and whole, for the name on disk. Pieces are stored
// last part first and each new one goes in front; they are kept in arrival
// order and joined once, so a directory full of pieces costs linear time.
// Each form is cut at its own first zero: a character such as U+0100 ends
// the log's form but not the whole one.
class LongName {
 public:
  void AddPiece(const std::array<std::uint16_t, 13>& units) {
    std::string bytes(13, '\0');
    for (std::size_t i = 0; i < 13; ++i) bytes[i] = static_cast<char>(units[i] & 0xFF);
    AddTo(bytes_, std::move(bytes));
    AddTo(wide_, std::u16string(units.begin(), units.end()));
  }
  // The name for the log, and the name for the disk.
  std::string Text() const { return Joined(bytes_); }
  std::u16string Wide() const { return Joined(wide_); }
  void Clear() {
    bytes_.clear();
    wide_.clear();
  }

 private:
  template <typename Text>
  static void AddTo(std::vector<Text>& pieces, Text piece) {
    // A zero ends the name: what follows it (0xFF fillers, and any older
    // pieces, which stood after it) goes.
    const std::size_t zero = piece.find(typename Text::value_type{0});
    if (zero != Text::npos) {
      piece.resize(zero);
      pieces.clear();
    }
    pieces.push_back(std::move(piece));
  }
  template <typename Text>
  static Text Joined(const std::vector<Text>& pieces) {
    Text text;
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) text += *it;
    return text;
  }

  std::vector<std::string> bytes_;
  std::vector<std::u16string> wide_;
};

std::string Trimmed(const std::string& text) {
  auto keep = [](char c) { return static_cast<unsigned char>(c) > 32; };
  const auto first = std::find_if(text.begin(), text.end(), keep);
  const auto last = std::find_if(text.rbegin(), text.rend(), keep).base();
  return first < last ? std::string(first, last) : std::string();
}

enum class Where { Root, Subdirectory };

struct DirectoryContext {
  Where where;
  std::uint32_t base;  // offset the " Off:=" values count from
  const std::string& path;
  std::uint32_t depth;
  CreatedNames::Taken& names;  // what this run made in path so far
};

// The attribute decides by its directory and volume-label bits, whatever
// the read-only, hidden, system and archive bits say.
bool IsDirectory(std::uint8_t attribute) {
  return (attribute & (kAttrDirectory | kAttrVolumeLabel)) == kAttrDirectory && attribute != kAttrAllFileBits;
}
bool IsFile(std::uint8_t attribute) {
  return (attribute & (kAttrDirectory | kAttrVolumeLabel)) == 0 || attribute == kAttrAllFileBits;
}

// Offset of an entry's first cluster. The root walk counts it in sectors from
// the data area's first sector; a subdirectory walk through the clusters.
std::uint32_t FirstClusterOffset(const RawImageState& s, const FatWalk& w, Where where,
                                 std::uint16_t cluster) {
  if (where == Where::Subdirectory || w.volume.FromBootSector) return ClusterOffset(w.volume, cluster);
  const auto spb = static_cast<std::int32_t>(s.FsBlockSize / kSectorSize);
  const std::int32_t sector = (static_cast<std::int32_t>(cluster) - 2) * spb + w.volume.FirstDataSector;
  return SectorOffset(w.volume, static_cast<std::uint32_t>(sector));
}

// Whether a directory's first cluster still begins with its "." entry: a
// deleted directory whose cluster has not been reused since.
bool StartsWithDotEntry(const RawImageState& s, std::uint32_t at) {
  return FsChars(s, at + kDirName, 11) == ".          " &&
         (FsByte(s, std::uint64_t{at} + kDirAttribute) & kAttrDirectory) != 0;
}

// The name a new file or directory gets in `dir`: its own, or a numbered one
// when this run has created that name there already.
std::string TakeName(RunOutput& out, const DirectoryContext& dir, const std::string& name) {
  std::string free = FreeName(dir.names, name);
  if (free != name) Warn(out, "WARNING: name in use, saved as: " + dir.path + platform::kSeparator + free);
  return free;
}

// The entry as the listener is told of it, before its name on disk is taken.
ItemFound Describe(const RawImageState& s, std::uint32_t at, const std::string& logName, std::string path,
                   bool directory) {
  ItemFound item;
  item.Path = std::move(path);
  item.LogName = logName;
  item.Directory = directory;
  item.Deleted = FsByte(s, at) == kDeletedMark;
  item.Attributes = FsByte(s, std::uint64_t{at} + kDirAttribute);
  item.FirstCluster = FsWord(s, std::uint64_t{at} + kDirFirstCluster);
  item.Size = FsDword(s, std::uint64_t{at} + kDirSize);
  item.EntryOffset = at;
  item.WrittenDate = FsWord(s, std::uint64_t{at} + kDirWrittenDate);
  item.WrittenTime = FsWord(s, std::uint64_t{at} + kDirWrittenTime);
  item.AccessedDate = FsWord(s, std::uint64_t{at} + kDirAccessedDate);
  item.CreatedDate = FsWord(s, std::uint64_t{at} + kDirCreatedDate);
  item.CreatedTime = FsWord(s, std::uint64_t{at} + kDirCreatedTime);
  item.CreatedCentis = FsByte(s, std::uint64_t{at} + kDirCreatedCentis);
  return item;
}

// The name an item is saved under, and the name it had when that is a
// numbered one.
void Rename(ItemFound& item, const DirectoryContext& dir, const std::string& diskName, const std::string& name) {
  item.Path = dir.path + platform::kSeparator + name;
  if (name != diskName) item.NameBefore = diskName;
}

void Skip(FatWalk& w, const ItemFound& item, std::string_view why, const std::string& line) {
  Warn(w.out, line);
  w.out.Report->ItemSkipped(item, why);
}

void HandleShortEntry(const RawImageState& s, FatWalk& w, const DirectoryContext& dir, std::uint32_t at,
                      const std::string& logName, const std::u16string& wideName) {
  const std::uint8_t attribute = FsByte(s, std::uint64_t{at} + kDirAttribute);
  const std::uint16_t cluster = FsWord(s, std::uint64_t{at} + kDirFirstCluster);
  const std::uint32_t size = FsDword(s, std::uint64_t{at} + kDirSize);
  std::string line = dir.where == Where::Subdirectory ? "$" + HexDword(at) + ": " : std::string();
  line += logName + " size: " + HexDword(size) + " starts from: " + HexWord(cluster) +
          " with ATTR:" + HexWord(attribute) + " Off:=" + std::to_string(at - dir.base);
  w.out.LogFile.Line(line);

  // Nothing to name it by, or the directory itself and its parent: listed only.
  if (logName.empty() || logName == "." || logName == "..") return;
  const bool directory = IsDirectory(attribute);
  if (!directory && !IsFile(attribute)) return;  // a volume label: listed only

  const std::string diskName =
      SafeName(wideName.empty() ? Cp1252ToUtf8(ShortDiskName(s, at)) : Utf16ToUtf8(wideName));
  const std::string target = dir.path + platform::kSeparator + diskName;
  ItemFound item = Describe(s, at, logName, target, directory);
  const std::uint32_t d = FirstClusterOffset(s, w, dir.where, cluster);
  // A file of the boot sector's layout with no first cluster is an empty
  // file (or one whose data is lost, as its size tells): it is saved.
  if (d == 0 && (directory || !w.volume.FromBootSector)) {
    w.out.Report->ItemSkipped(item, "no data: its first cluster lies outside the image");
    return;
  }

  if (directory) {
    // A deleted directory's cluster may hold anything by now.
    if (item.Deleted && !StartsWithDotEntry(s, d)) {
      Skip(w, item, "deleted directory overwritten", "WARNING: deleted directory overwritten, skipped: " + target);
      return;
    }
    if (w.walkedDirectories.contains(d)) {
      Skip(w, item, "directory already walked", "WARNING: directory already walked, skipped: " + target);
      return;
    }
    if (dir.depth + 1 > kMaxDirectoryDepth) {
      Skip(w, item, "directory nesting too deep", "WARNING: directory nesting too deep, skipped: " + target);
      return;
    }
    const std::string name = TakeName(w.out, dir, diskName);
    Rename(item, dir, diskName, name);
    if (!EnsureDirectory(w.out, item.Path, /*withParents=*/false)) {
      w.out.Report->ItemSkipped(item, "cannot create");
      return;
    }
    RememberName(dir.names, name);
    w.out.Report->ItemBegin(item);
    WalkDirectory(s, w, d, item.Path, dir.depth + 1);
    // After the content: writing it would change them.
    if (!w.out.ListOnly) (void)platform::SetTimes(item.Path, EntryTimes(s, at));
    w.out.Report->ItemEnd(0);
  } else {
    const std::string name = TakeName(w.out, dir, diskName);
    Rename(item, dir, diskName, name);
    if (!SaveFile(s, w, item, EntryTimes(s, at))) return;
    RememberName(dir.names, name);
  }
}

// The entries at [from, to), 32 bytes apart. Returns false when an end
// marker ended the directory.
bool WalkEntries(const RawImageState& s, FatWalk& w, const DirectoryContext& dir, LongName& longName,
                 std::uint32_t from, std::uint64_t to) {
  for (std::uint64_t at = from; at < to; at += kDirEntrySize) {
    const std::uint16_t first = FsWord(s, at);
    const std::uint8_t attribute = FsByte(s, at + kDirAttribute);
    // E5 E5 is also a deleted long-name piece whose first character has the
    // low byte E5 ("å", "日"); only its attribute tells it apart.
    if (first == 0x0000 || (first == 0xE5E5 && attribute != kAttrLongNamePiece)) return false;
    if (FsByte(s, at + 2) == 0 || attribute == kAttrLongNamePiece) {
      std::array<std::uint16_t, 13> units{};
      for (std::size_t i = 0; i < 13; ++i) units[i] = FsWord(s, at + kLongNameChars[i]);
      longName.AddPiece(units);
      continue;
    }
    const std::string text = longName.Text();
    const std::string logName = text.empty() ? ShortName(s, at) : text;
    HandleShortEntry(s, w, dir, static_cast<std::uint32_t>(at), logName, longName.Wide());
    longName.Clear();
  }
  return true;
}

}  // namespace

namespace {

// "NAME.EXT", each part in lower case where `lowerCase` (case flags) says so.
std::string JoinedShortName(const RawImageState& s, std::uint64_t entry, std::uint8_t lowerCase) {
  auto part = [&](std::uint64_t at, std::size_t width, std::uint8_t flag) {
    std::string text = Trimmed(FsChars(s, entry + at, width));
    if ((lowerCase & flag) != 0) {
      for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
  };
  const std::string base = part(kDirName, 8, kCaseLowerBase);
  const std::string extension = part(kDirExtension, 3, kCaseLowerExtension);
  return extension.empty() ? base : base + "." + extension;
}

}  // namespace

std::string ShortName(const RawImageState& s, std::uint64_t entry) { return JoinedShortName(s, entry, 0); }

std::string ShortDiskName(const RawImageState& s, std::uint64_t entry) {
  return JoinedShortName(s, entry, FsByte(s, entry + kDirCase));
}

void WalkDirectory(const RawImageState& s, FatWalk& w, std::uint32_t dirOffset, const std::string& path,
                   std::uint32_t depth) {
  w.walkedDirectories.insert(dirOffset);
  LongName longName;  // may continue into the next cluster
  CreatedNames::Taken& names = NamesIn(w.names, path);
  std::vector<bool> seen(65536, false);
  std::uint16_t m = OffsetToCluster(w.volume, dirOffset);
  while (true) {
    if (seen[m]) {
      Warn(w.out, "WARNING: loop in cluster chain at $" + HexWord(m) + ": " + path);
      w.out.Report->ChainLoop(m);
      return;
    }
    seen[m] = true;
    const std::uint32_t base = ClusterOffset(w.volume, m);
    const bool hasData = ClusterHasData(s, w.volume, base);
    w.out.Report->Cluster(m, base, FatEntryOffset(w.volume, m), !hasData);
    if (!hasData) return;
    const DirectoryContext dir{Where::Subdirectory, base, path, depth, names};
    // Past the image's end the entries read as zeros: an end marker.
    if (!WalkEntries(s, w, dir, longName, base, std::uint64_t{base} + w.volume.ClusterBytes)) return;

    const std::uint16_t current = OffsetToCluster(w.volume, base);
    const std::uint16_t next = NextCluster(s, w.volume, current);
    w.out.LogFile.Line("[CLUSTER] " + HexWord(current) + " end. FAT points to: " + HexWord(next));
    if (EndsChain(w.volume.ParType, next)) return;
    m = next;
  }
}

void WalkRootDirectory(RunOutput& out, const RawImageState& s, Volume& volume, CreatedNames& names,
                       std::uint32_t rootBytes, const std::string& path) {
  FatWalk w(out, volume, names);
  const std::uint32_t start = SectorOffset(volume, volume.RootSector);
  LongName longName;
  const DirectoryContext dir{Where::Root, start, path, 0, NamesIn(names, path)};
  WalkEntries(s, w, dir, longName, start, std::uint64_t{start} + rootBytes);
}

}  // namespace quillex
