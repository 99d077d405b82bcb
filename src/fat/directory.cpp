// The directory walk: every entry listed in the log, subdirectories recreated
// and walked depth first, files handed to SaveFile.
#include <algorithm>

#include "driver/hex.h"
#include "driver/paths.h"
#include "fat/fat.h"

namespace quillex {
namespace {

// The long name being gathered. Pieces are stored last part first and each
// new one goes in front; they are kept in arrival order and joined once, so a
// directory full of pieces costs linear time.
class LongName {
 public:
  void AddPiece(std::string piece) {
    // A zero character ends the name: what follows it (0xFF fillers, and any
    // older pieces, which stood after it) goes.
    const std::size_t zero = piece.find('\0');
    if (zero != std::string::npos) {
      piece.resize(zero);
      pieces_.clear();
    }
    pieces_.push_back(std::move(piece));
  }
  bool Empty() const {
    return std::all_of(pieces_.begin(), pieces_.end(), [](const std::string& p) { return p.empty(); });
  }
  std::string Text() const {
    std::string text;
    for (auto it = pieces_.rbegin(); it != pieces_.rend(); ++it) text += *it;
    return text;
  }
  void Clear() { pieces_.clear(); }

 private:
  std::vector<std::string> pieces_;
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
};

bool SavedAsFile(Where where, std::uint8_t attribute) {
  switch (attribute) {
    case 0x00:
    case 0x01:
    case 0x33:
      return true;
    case 0x20:
    case 0x21:
      return where == Where::Subdirectory;
    default:
      return false;
  }
}

// Offset of an entry's first cluster. The root walk counts it in sectors from
// the data area's first sector; a subdirectory walk through the clusters.
std::uint32_t FirstClusterOffset(const RunState& s, const FatWalk& w, Where where,
                                 std::uint16_t cluster) {
  if (where == Where::Subdirectory) return ClusterOffset(s, w.entry, cluster);
  const auto spb = static_cast<std::int32_t>(s.FsBlockSize / kSectorSize);
  const std::int32_t sector = (static_cast<std::int32_t>(cluster) - 2) * spb + s.FirstDataSector;
  return SectorOffset(s, w.entry, static_cast<std::uint32_t>(sector));
}

void HandleShortEntry(RunState& s, FatWalk& w, const DirectoryContext& dir, std::uint32_t at,
                      const std::string& name) {
  const std::uint8_t attribute = FsByte(s, std::uint64_t{at} + kDirAttribute);
  const std::uint16_t cluster = FsWord(s, std::uint64_t{at} + kDirFirstCluster);
  const std::uint32_t size = FsDword(s, std::uint64_t{at} + kDirSize);

  std::string line = dir.where == Where::Subdirectory ? "$" + HexDword(at) + ": " : std::string();
  line += name + " size: " + HexDword(size) + " starts from: " + HexWord(cluster) +
          " with ATTR:" + HexWord(attribute) + " Off:=" + std::to_string(at - dir.base);
  s.LogFile.Line(line);

  // Nothing to name it by: listed only.
  if (name.empty()) return;
  const std::uint32_t d = FirstClusterOffset(s, w, dir.where, cluster);
  // Dot entries, names that begin with a dot, and entries without data.
  if (name[0] == '.' || d == 0) return;

  const std::string target = dir.path + platform::kSeparator + SafeName(name);
  if (attribute == kAttrDirectory) {
    if (w.walkedDirectories.contains(d)) {
      s.Console.Line("WARNING: directory already walked, skipped: " + target);
      return;
    }
    if (dir.depth + 1 > kMaxDirectoryDepth) {
      s.Console.Line("WARNING: directory nesting too deep, skipped: " + target);
      return;
    }
    if (!EnsureDirectory(s, target, /*withParents=*/false)) return;
    WalkDirectory(s, w, d, target, dir.depth + 1);
  } else if (SavedAsFile(dir.where, attribute)) {
    SaveFile(s, w, cluster, size, dir.path, SafeName(name));
  }
}

// The entries at [from, to), 32 bytes apart. Returns false when an end
// marker ended the directory.
bool WalkEntries(RunState& s, FatWalk& w, const DirectoryContext& dir, LongName& longName,
                 std::uint32_t from, std::uint64_t to) {
  for (std::uint64_t at = from; at < to; at += kDirEntrySize) {
    const std::uint16_t first = FsWord(s, at);
    if (first == 0x0000 || first == 0xE5E5) return false;
    if (FsByte(s, at + 2) == 0) {
      std::string piece(13, '\0');
      for (std::size_t i = 0; i < 13; ++i) piece[i] = static_cast<char>(FsByte(s, at + kLongNameChars[i]));
      longName.AddPiece(std::move(piece));
      continue;
    }
    const std::string name = longName.Empty() ? ShortName(s, at) : longName.Text();
    HandleShortEntry(s, w, dir, static_cast<std::uint32_t>(at), name);
    longName.Clear();
  }
  return true;
}

}  // namespace

std::string ShortName(const RunState& s, std::uint64_t entry) {
  const std::string base = Trimmed(FsChars(s, entry + kDirName, 8));
  const std::string extension = Trimmed(FsChars(s, entry + kDirExtension, 3));
  return extension.empty() ? base : base + "." + extension;
}

void WalkDirectory(RunState& s, FatWalk& w, std::uint32_t dirOffset, const std::string& path,
                   std::uint32_t depth) {
  w.walkedDirectories.insert(dirOffset);
  LongName longName;  // may continue into the next cluster
  std::vector<bool> seen(65536, false);
  std::uint16_t m = OffsetToCluster(s, w.entry, dirOffset);
  while (true) {
    if (seen[m]) {
      s.Console.Line("WARNING: loop in cluster chain at $" + HexWord(m) + ": " + path);
      return;
    }
    seen[m] = true;
    const std::uint32_t base = ClusterOffset(s, w.entry, m);
    if (base == 0 || !s.FsImage.InBounds(base, s.FsBlockSize)) return;
    const DirectoryContext dir{Where::Subdirectory, base, path, depth};
    if (!WalkEntries(s, w, dir, longName, base, std::uint64_t{base} + s.FsBlockSize)) return;

    const std::uint16_t current = OffsetToCluster(s, w.entry, base);
    const std::uint16_t next = NextCluster(s, w.entry, current);
    s.LogFile.Line("[CLUSTER] " + HexWord(current) + " end. FAT points to: " + HexWord(next));
    if (EndsChain(w.parType, next)) return;
    m = next;
  }
}

void WalkRootDirectory(RunState& s, std::uint16_t n, std::uint32_t rootSector,
                       std::uint32_t rootBytes, const std::string& path) {
  FatWalk w;
  w.entry = n;
  w.parType = EntryAt(s, n).ParType;
  const std::uint32_t start = SectorOffset(s, n, rootSector);
  LongName longName;
  const DirectoryContext dir{Where::Root, start, path, 0};
  WalkEntries(s, w, dir, longName, start, std::uint64_t{start} + rootBytes);
}

}  // namespace quillex
