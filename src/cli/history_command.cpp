// quillex history: the older states the flash still holds (history/), each
// walked as the image is, and every file or folder they hold that the
// newest image does not hold as it is, saved with the evidence behind it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/gather.h"
#include "base/paths.h"
#include "base/platform.h"
#include "cli/command_parts.h"
#include "fat/fat.h"
#include "history/history.h"
#include "partition/partition.h"

namespace quillex::cli {
namespace {

// The path below the extraction folder ("_name.raw"): the unit's folder and
// the path in it. A unit mounted at "/" has an empty folder name, which
// leaves no empty step here.
std::string BelowTop(const std::string& path) {
  std::size_t at = 0;
  while (at < path.size() && !platform::IsSeparator(path[at])) ++at;
  while (at < path.size() && platform::IsSeparator(path[at])) ++at;
  return path.substr(at);
}

// Every folder from `base` down to `path`'s parent.
void MakeParents(RunOutput& out, const std::string& path) {
  const std::size_t last = path.find_last_of(platform::kSeparator);
  if (last != std::string::npos) EnsureDirectory(out, path.substr(0, last), /*withParents=*/true);
}

// Writes a file from the pieces `forEach` hands over (null data: zeros),
// then gives it `times`. False when its name (or its folder) cannot be made;
// any other failure throws.
template <typename ForEach>
bool WritePieces(const std::string& name, ForEach&& forEach, const platform::FileTimes& times) {
  platform::File file;
  platform::Status st = platform::CreateFile(name, file);
  if (!st.ok() && IsNameFault(st)) return false;
  GatherWriter writer(file);
  if (st.ok()) {
    forEach([&](const std::uint8_t* data, std::size_t n) {
      if (st.ok()) st = writer.Add(data, n);
    });
  }
  if (st.ok()) st = writer.Flush();
  if (st.ok()) (void)platform::SetTimes(file, times);
  if (st.ok()) st = platform::Close(file);
  if (!st.ok()) throw IoFailure("cannot write " + name + ": " + st.Reason());
  return true;
}

// "00000664-00000005.bin" for a copy of logical block 5 at physical block
// 664, "00000664-free.bin" for a block under a free entry.
std::string BlockFileName(const PhysicalBlock& b) {
  char name[40];
  if (b.Logical != 0) {
    std::snprintf(name, sizeof name, "%08u-%08u.bin", b.Physical, b.Logical);
  } else {
    std::snprintf(name, sizeof name, "%08u-free.bin", b.Physical);
  }
  return name;
}

Json BlockJson(const PhysicalBlock& b, std::uint32_t state, const std::string& file) {
  Json j;
  j["physical"] = b.Physical;
  j["kind"] = b.Logical != 0 ? "superseded" : "free";
  j["logical"] = b.Logical != 0 ? Json(b.Logical) : Json();
  j["state"] = state == 0 ? Json() : Json(state);
  j["dump_offset"] = b.InDump > 0 ? Json(b.DumpOffset) : Json();
  j["bytes_in_dump"] = b.InDump;
  j["file"] = file.empty() ? Json() : Json(file);
  return j;
}

// The blocks' report entries (a copy with the newest state that takes it);
// with a `place`, each block the dump holds is
// written there too.
Json SaveBlocks(const RawImageState& s, const std::vector<PhysicalBlock>& blocks,
                const std::unordered_map<std::uint64_t, std::uint32_t>& stateOf, const std::string& place, RunOutput& out) {
  Json list = Json::array();
  bool made = false;  // the folder, made before its first block
  for (const PhysicalBlock& b : blocks) {
    std::string file;
    if (!place.empty() && b.InDump > 0) {
      if (!made) {
        (void)EnsureDirectory(out, place, /*withParents=*/false);  // a failure shows when the file is made
        made = true;
      }
      file = place + platform::kSeparator + BlockFileName(b);
      const std::uint8_t* data = s.RawImage.data() + b.RawOffset;
      if (!WritePieces(file, [&](const auto& emit) { emit(data, b.InDump); }, {})) {
        throw IoFailure("cannot create " + file);
      }
    }
    const auto taken = stateOf.find(b.RawOffset);
    list.push_back(BlockJson(b, b.Logical != 0 && taken != stateOf.end() ? taken->second : 0, file));
  }
  return list;
}

// A file or a folder at a path: one key for both kinds.
std::string Key(const Item& item) { return (item.found.Directory ? "D" : "F") + item.found.Path; }

// The 32 bytes of a directory entry.
std::string EntryBytes(const FsView& image, std::uint32_t offset) { return image.Chars(offset, kDirEntrySize); }

// The image in which a walk and what it hands over read, for a while.
class ImageInPlace {
 public:
  ImageInPlace(RunState& s, const FsView& image) : s_(s), kept_(s.FsImage) { s_.FsImage = image; }
  ~ImageInPlace() { s_.FsImage = kept_; }
  ImageInPlace(const ImageInPlace&) = delete;
  ImageInPlace& operator=(const ImageInPlace&) = delete;

 private:
  RunState& s_;
  FsView kept_;
};

ItemShape ShapeOf(const Item& item) {
  return {.Directory = item.found.Directory,
          .Deleted = item.found.Deleted,
          .Partition = item.partition,
          .Size = item.found.Size,
          .Written = item.written,
          .EntryOffset = item.found.EntryOffset,
          .Loop = item.loopAt.has_value(),
          .Lost = !item.lostClusters.empty(),
          .Chain = &item.places,
          .Path = item.found.Path};
}

// The logical block the Mount Table stage reads, as named by BlockMap entry 1.
std::uint32_t MountTableBlock(const RawImageState& s) { return s.BlockMap.size() > 1 ? s.BlockMap[1] & kFreeNumber : 0; }

std::vector<Area> RootsOf(const Listing& listing) {
  std::vector<Area> roots;
  for (const PartitionCounts& p : listing.partitions) {
    if (p.found.Supported) roots.push_back({p.found.RootOffset, p.found.RootBytes});
  }
  return roots;
}

// One older state, walked: names are numbered within it, and a Mount Table
// that cannot be read ends only this state.
struct WalkedState {
  WalkedState(const RawImageState& s, const std::vector<FlashWrite>& writes, std::uint32_t held, HashChoice hashes)
      : flash(BuildState(s, writes, held)), listing(hashes, nullptr) {
    listing.keepClusters = true;
  }
  FlashState flash;
  Listing listing;
  std::string refused;
  std::vector<ItemShape> shapes;      // of listing.items, for the checks
  std::vector<bool> directoryBlocks;  // by logical number
  std::vector<ItemCheck> checks;      // of listing.items
  // Whether an item has nothing wrong but a cluster written after its
  // entry: the cut lies inside a change after all.
  bool OutOfOrder() const {
    return std::any_of(checks.begin(), checks.end(),
                       [](const ItemCheck& c) { return c.OutOfOrder > 0 && c.OutOfOrder == c.Problems.size(); });
  }
};

void Walk(RunState& s, const std::vector<FlashWrite>& writes, WalkedState& w) {
  ImageInPlace in(s, w.flash.Image);
  Findings* const report = s.Report;
  s.Report = &w.listing;
  PartitionState parts;
  CreatedNames names;
  try {
    ProcessMountTable(s, s, parts, names);
  } catch (const FatalStop& stop) {
    w.refused = stop.Line;
    w.listing.warnings.push_back(stop.Line);
  }
  s.Report = report;
  for (const Item& item : w.listing.items) w.shapes.push_back(ShapeOf(item));
  w.directoryBlocks = DirectoryBlocks(w.shapes, RootsOf(w.listing), s.FsBlockSize, s.MaxBlockNumber);
  // The Mount Table is the directory of the units: writing it ends a change.
  if (const std::uint32_t table = MountTableBlock(s); table < w.directoryBlocks.size()) w.directoryBlocks[table] = true;
  w.checks = CheckItems(w.shapes, w.flash, writes, s.RawImage.view(), s.FsBlockSize, w.directoryBlocks);
}

// One copy as a report gives it.
Json CopyJson(const std::vector<FlashWrite>& writes, std::uint32_t logical, std::uint32_t w) {
  return {{"logical", logical},
          {"physical", w == kNoWrite ? Json() : Json(writes[w].Physical)},
          {"map_index", w == kNoWrite ? Json() : Json(writes[w].MapIndex)}};
}

Json RunsJson(const std::vector<BlockRun>& runs, const std::vector<FlashWrite>& writes) {
  Json list = Json::array();
  for (const BlockRun& run : runs) {
    Json j = CopyJson(writes, run.FirstLogical, run.FirstWrite);
    j["count"] = run.Count;
    list.push_back(std::move(j));
  }
  return list;
}

// Which copy each block an item rests on came from: its directory entry's
// block, the FAT blocks of its chain, and the blocks of its clusters.
Json EvidenceJson(const Item& item, const FlashState& flash, const std::vector<FlashWrite>& writes,
                  std::uint32_t blockSize) {
  const std::uint32_t entry = item.found.EntryOffset / blockSize + 1;
  std::vector<std::uint32_t> fat, clusters;
  for (const ClusterPlace& place : item.places) {
    fat.push_back(place.FatEntry / blockSize + 1);
    AddBlocksOf(blockSize, place.Offset, place.Bytes, clusters);
  }
  return {{"cut", flash.Cut},
          {"entry", CopyJson(writes, entry, CopyIn(flash, entry))},
          {"fat", RunsJson(RunsOf(fat, flash, writes), writes)},
          {"clusters", RunsJson(RunsOf(clusters, flash, writes), writes)}};
}

// An older item reported, until the run's end gives it its range of states.
struct Reported {
  std::string text;  // its report object, kept as text: thousands of them
  std::uint32_t state = 0, oldest = 0;
};

// The report object of an older item, its oldest state set. The object
// names `oldest_state` once, with the state it was found in.
std::string WithOldest(const Reported& item) {
  if (item.oldest == item.state) return item.text;
  const std::string field = "\"oldest_state\":" + std::to_string(item.state);
  std::string text = item.text;
  const std::size_t at = text.find(field);
  if (at != std::string::npos) text.replace(at, field.size(), "\"oldest_state\":" + std::to_string(item.oldest));
  return text;
}

// What a history run found and saved, for its report and summary.
struct HistoryFindings {
  Json states = Json::array();
  std::vector<Reported> items;
  std::unordered_map<std::string, std::size_t> byContent;  // key, digest and verdict: index in items
  std::unordered_map<std::uint64_t, std::uint32_t> stateOf;  // raw offset of a copy: the newest state taking it
  std::uint32_t filesSaved = 0, foldersSaved = 0, olderVersions = 0, gone = 0, deleted = 0, inconsistent = 0,
                inconsistentFiles = 0, notSaved = 0, warnings = 0;
  std::uint64_t bytesSaved = 0;
  bool anyIncomplete = false;
};

// What the newer states held at each path: its entry and its digest.
struct Held {
  std::string entry;
  std::string sha256;
};

// The newest image's files and folders, and where their directories lie.
struct Newest {
  std::set<std::string> keys;      // key and digest: not older
  std::set<std::string> paths;     // keys alone: an older item at one of them is an older version
  // Set when the newest image shows that the map's order is not the order
  // of writing: then no older state can be trusted.
  std::string outOfOrder;
};

// Whether the newest image holds a file whose cluster was written, with
// other bytes, after its directory entry, and nothing else is wrong with
// it: a flash that writes in map order never shows that.
std::string OutOfOrder(const RawImageState& s, const Listing& listing, const std::vector<FlashWrite>& writes,
                       const FlashState& all, const std::vector<ItemShape>& shapes,
                       const std::vector<bool>& directoryBlocks) {
  const std::vector<ItemCheck> checks = CheckItems(shapes, all, writes, s.RawImage.view(), s.FsBlockSize, directoryBlocks);
  for (std::size_t i = 0; i < checks.size(); ++i) {
    if (checks[i].OutOfOrder > 0 && checks[i].OutOfOrder == checks[i].Problems.size()) {
      return "the map's order is not the order of writing: in the newest image, " + listing.items[i].found.Path +
             ": " + checks[i].Problems.front();
    }
  }
  return {};
}

// What each copy held, as the newest state walked that holds it tells: a
// directory block or not. One block can be a folder's in one state and a
// file's in the next, and a cut between the copy and the entries that
// name it would read file data as a folder.
class WriteKinds {
 public:
  explicit WriteKinds(std::size_t writes) : kind_(writes, Kind::Unknown) {}

  // Marks the copies `flash` holds that no newer state told.
  void Learn(const FlashState& flash, const std::vector<bool>& directories) {
    for (const std::uint32_t n : flash.Copied) {
      Kind& k = kind_[flash.CopyOf[n - 1]];
      if (k == Kind::Unknown) k = n < directories.size() && directories[n] ? Kind::Directory : Kind::Other;
    }
    if (known_.size() < directories.size()) known_.resize(directories.size(), false);
    for (std::size_t n = 0; n < directories.size(); ++n) known_[n] = known_[n] || directories[n];
  }
  // Whether a write was a directory block's: as told, else as `blocks` (by
  // logical number) or the blocks known as directories say.
  std::function<bool(std::uint32_t)> Test(const std::vector<FlashWrite>& writes, const std::vector<bool>& blocks) const {
    return [this, &writes, &blocks](std::uint32_t w) {
      if (kind_[w] != Kind::Unknown) return kind_[w] == Kind::Directory;
      const std::uint32_t n = writes[w].Logical;
      return (n < blocks.size() && blocks[n]) || (n < known_.size() && known_[n]);
    };
  }

 private:
  enum class Kind : std::uint8_t { Unknown, Directory, Other };
  std::vector<Kind> kind_;
  std::vector<bool> known_;
};

// Walks the settled state the superseding write `t` leads back to. A state
// is taken once its own last write is one of its directory blocks and
// (where the map is in the order of writing: `ordered`) no file in it was
// written after its entry; a copy no newer state holds is told by the
// state's own directories, which can differ from the ones known, so each
// walk checks the cut again.
std::unique_ptr<WalkedState> WalkSettled(RunState& s, const std::vector<FlashWrite>& writes, std::uint32_t t,
                                         const WriteKinds& kinds, bool ordered, HashChoice hashes) {
  static const std::vector<bool> kNone;
  std::uint32_t held = SettledCut(writes, t, kinds.Test(writes, kNone));
  for (int forward = 0;;) {
    auto w = std::make_unique<WalkedState>(s, writes, held, hashes);
    Walk(s, writes, *w);
    // An older Mount Table or partition that cannot be read shows no
    // directories to tell the cut by: the known ones stand.
    if (!w->refused.empty() || w->listing.partitions.empty()) return w;
    const auto own = kinds.Test(writes, w->directoryBlocks);
    if (!Settled(writes, held, own) || (ordered && held > 0 && w->OutOfOrder())) {
      held = SettledCut(writes, held - 1, own);
      continue;
    }
    const std::uint32_t later = SettledCut(writes, t, own);
    if (later <= held || forward++ == 2) return w;
    held = later;
  }
}

}  // namespace

namespace {

// Where a history run writes, and what it writes besides the files.
struct HistoryPlan {
  std::string folder;
  bool report = false;
  bool images = false;
  bool quiet = false;
  std::string dumpName;  // the dump's file name, for the images
};

// What a history run in `folder` makes that an earlier one may have left:
// the states' folders (numbers), inconsistent/, blocks/, the images
// (NAME.fs.K), and the report.
std::vector<std::string> EarlierHistory(const std::string& folder, const std::string& dumpName,
                                        const std::string& report) {
  std::vector<std::string> made{report};
  std::vector<std::string> names;
  if (!platform::IsDirectory(folder) || !platform::ListFolder(folder, names).ok()) return made;
  auto digits = [](std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  const std::string image = dumpName + ".fs.";
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (digits(name) || name == "inconsistent" || name == "blocks" ||
        (name.starts_with(image) && digits(std::string_view(name).substr(image.size())))) {
      made.push_back(folder + platform::kSeparator + name);
    }
  }
  return made;
}

// What the report says of an older item beside its item fields.
Json OlderItemJson(const Item& item, const WalkedState& w, const std::vector<FlashWrite>& writes,
                   std::uint32_t blockSize, std::uint32_t k, const std::string& verdict,
                   const std::vector<std::string>& problems, const std::string& savedAs) {
  Json j = ItemJson(item);
  j["verdict"] = verdict;
  j["older_version"] = verdict == "older_version";
  j["state"] = k;
  j["oldest_state"] = k;
  j["problems"] = problems;
  j["saved_as"] = savedAs.empty() ? Json() : Json(savedAs);
  j["evidence"] = EvidenceJson(item, w.flash, writes, blockSize);
  return j;
}

// Saves one state's older items: those the newest image and the newer
// states do not hold at the same path with the same bytes. An item that
// does not fit the state is saved apart, under inconsistent/.
void SaveState(RunState& s, WalkedState& w, const std::vector<FlashWrite>& writes, std::uint32_t k,
               const HistoryPlan& plan, const Newest& newest, std::unordered_map<std::string, Held>& newer,
               HistoryFindings& found, Json& summary) {
  ImageInPlace in(s, w.flash.Image);
  Listing& listing = w.listing;
  const std::vector<ItemCheck>& checks = w.checks;
  RunOutput out;  // where the folders are made: a run that writes
  out.Console = TextOut::Nowhere();
  out.LogFile = TextOut::Nowhere();
  // Why each older item does not fit (the newest image's own are no
  // question here). A state that settled holds together: one item that does
  // not fit shows it never was a state the flash held, and nothing in it
  // can be trusted.
  std::vector<std::vector<std::string>> why(listing.items.size());
  std::string apart = newest.outOfOrder;
  for (std::size_t i = 0; i < listing.items.size(); ++i) {
    const Item& item = listing.items[i];
    if (!item.skipped.empty() || newest.keys.contains(Key(item) + "|" + item.sha256)) continue;
    why[i] = checks[i].Problems;
    const auto before = newer.find(Key(item));
    if (why[i].empty() && !item.found.Deleted && before != newer.end() &&
        before->second.entry == EntryBytes(w.flash.Image, item.found.EntryOffset) &&
        before->second.sha256 != item.sha256) {
      why[i].push_back("its directory entry is the newer state's, its data are not");
    }
    if (apart.empty() && !why[i].empty() && !item.found.Deleted) {
      apart = "the state does not hold together: " + item.found.Path + ": " + why[i].front();
    }
  }
  std::uint32_t files = 0, folders = 0, inconsistent = 0;
  std::vector<std::pair<std::string, platform::FileTimes>> madeFolders;
  for (std::size_t i = 0; i < listing.items.size(); ++i) {
    const Item& item = listing.items[i];
    if (!item.skipped.empty()) continue;
    const std::string key = Key(item);
    if (newest.keys.contains(key + "|" + item.sha256)) continue;
    std::vector<std::string>& problems = why[i];
    if (!apart.empty() && (problems.empty() || !newest.outOfOrder.empty())) problems.push_back(apart);
    const std::string verdict = !problems.empty()      ? "inconsistent"
                                : item.found.Deleted    ? "deleted"
                                : newest.paths.contains(key) ? "older_version"
                                                             : "gone";
    // The same path with the same bytes is one item, held by a range of states.
    const auto [at, first] = found.byContent.emplace(key + "|" + item.sha256 + "|" + verdict, found.items.size());
    if (!first) {
      found.items[at->second].oldest = k;
      continue;
    }
    const std::string top = plan.folder + platform::kSeparator +
                            (problems.empty() ? "" : std::string("inconsistent") + platform::kSeparator) +
                            std::to_string(k);
    const std::string target = top + platform::kSeparator + BelowTop(item.found.Path);
    const platform::FileTimes times = EntryTimes(s, item.found.EntryOffset);
    MakeParents(out, target);
    bool saved = true;
    if (item.found.Directory) {
      saved = EnsureDirectory(out, target, /*withParents=*/false);
      if (saved) madeFolders.emplace_back(target, times);
      if (saved) ++folders;
    } else {
      // A name or folder that cannot be made is reported, not saved.
      saved = WritePieces(target, [&](const auto& emit) { listing.ForEachPiece(item, emit); }, times);
      if (saved) ++files;
      if (saved) found.bytesSaved += item.written;
      if (saved && verdict == "inconsistent") ++found.inconsistentFiles;
    }
    ++(verdict == "inconsistent" ? found.inconsistent
       : verdict == "deleted"    ? found.deleted
       : verdict == "gone"       ? found.gone
                                 : found.olderVersions);
    if (verdict == "inconsistent") ++inconsistent;
    if (!saved) {
      ++found.notSaved;
      listing.warnings.push_back("cannot save: " + target);
    }
    found.anyIncomplete = found.anyIncomplete || !item.Complete() || !saved;
    // Kept only for a report: the runs of older files can be long.
    std::string text;
    if (plan.report) {
      text = OlderItemJson(item, w, writes, s.FsBlockSize, k, verdict, problems, saved ? target : "")
                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    found.items.push_back({std::move(text), k, k});
  }
  // Folders take their times last, once nothing more is made in them.
  for (auto f = madeFolders.rbegin(); f != madeFolders.rend(); ++f) (void)platform::SetTimes(f->first, f->second);
  // What this state held is what the next older one is told from.
  for (const Item& item : listing.items) {
    if (item.skipped.empty() && !item.found.Deleted) {
      newer[Key(item)] = {EntryBytes(w.flash.Image, item.found.EntryOffset), item.sha256};
    }
  }
  found.filesSaved += files;
  found.foldersSaved += folders;
  found.warnings += static_cast<std::uint32_t>(listing.warnings.size());
  summary["files"] = files;
  summary["folders"] = folders;
  summary["inconsistent"] = inconsistent;
  summary["warnings"] = listing.warnings;
  if (!plan.quiet) {
    for (const std::string& line : listing.warnings) {
      (void)platform::WriteText(stderr, "state " + std::to_string(k) + ": " + line + "\n");
    }
  }
}

// What a state holds, told apart from another's: its items' paths,
// entries and bytes, in the order walked.
std::string Signature(const WalkedState& w) {
  platform::Hasher hasher(platform::HashKind::Sha256);
  for (const Item& item : w.listing.items) {
    const std::string text = Key(item) + "|" + EntryBytes(w.flash.Image, item.found.EntryOffset) + "|" + item.sha256 +
                             "|" + item.skipped + "\n";
    hasher.Update(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }
  return hasher.HexDigest() + (w.refused.empty() ? "" : "|" + w.refused);
}

}  // namespace

int RunHistory(const Options& options) {
  return Guarded(options.dump, [&] {
    CheckDump(options.dump);
    const std::string dump = Absolute(options.dump);
    const std::string report = Absolute(options.reportFile);
    const HistoryPlan plan{.folder = Absolute(options.outputDir.empty() ? "_" + BaseName(options.dump) + ".history"
                                                                         : options.outputDir),
                           .report = !report.empty(),
                           .images = options.images,
                           .quiet = options.quiet,
                           .dumpName = BaseName(options.dump)};
    ClaimOutputs(EarlierHistory(plan.folder, plan.dumpName, report), options.force, options.quiet);
    // Made only when something is to be written in it; what cannot be one
    // ends the run before the work.
    if (platform::Exists(plan.folder) && !platform::IsDirectory(plan.folder)) {
      throw IoFailure("cannot create " + plan.folder + ": " + platform::Status{EEXIST}.Reason());
    }
    if (report.starts_with(plan.folder + platform::kSeparator)) MakeFolder(plan.folder);  // the report's own
    PendingFile reportFile(report);
    // The files' digests are the report's, and SHA-256 always: it is how a
    // file is told to be in a newer state already.
    HashChoice hashes = report.empty() ? HashChoice{} : options.hashes;
    hashes.sha256 = true;
    Session now(dump, hashes, nullptr);
    RunState& s = now.state;
    s.ListOnly = true;
    now.listing.keepClusters = true;  // where the newest image's folders lie
    BuildImage(s);
    const std::vector<FlashWrite> writes = ListWrites(s);
    const std::vector<std::uint32_t> superseding = SupersedingWrites(writes);
    const std::vector<PhysicalBlock> blocks = ListPhysicalBlocks(s);
    std::string dumpSha, hashFailure;
    platform::Worker hasher;
    if (!report.empty()) hasher.Start([&] { dumpSha = HashFile(dump, hashFailure); });

    // The newest image, by path and content. A Mount Table the newest image
    // refuses leaves it empty.
    std::string refused;
    try {
      ProcessMountTable(s, s, s, s.NamesCreated);
    } catch (const FatalStop& stop) {
      refused = stop.Line;
    }
    now.listing.HashFiles(0, now.listing.items.size());
    Newest newest;
    std::unordered_map<std::string, Held> newer;
    for (const Item& item : now.listing.items) {
      if (!item.skipped.empty()) continue;
      newest.keys.insert(Key(item) + "|" + item.sha256);
      if (item.found.Deleted) continue;
      newest.paths.insert(Key(item));
      newer[Key(item)] = {EntryBytes(s.FsImage, item.found.EntryOffset), item.sha256};
    }
    std::vector<ItemShape> shapes;
    for (const Item& item : now.listing.items) shapes.push_back(ShapeOf(item));
    std::vector<bool> directories = DirectoryBlocks(shapes, RootsOf(now.listing), s.FsBlockSize, s.MaxBlockNumber);
    if (const std::uint32_t table = MountTableBlock(s); table < directories.size()) directories[table] = true;
    WriteKinds kinds(writes.size());
    if (!superseding.empty()) {
      const FlashState all = BuildState(s, writes, static_cast<std::uint32_t>(writes.size()));
      newest.outOfOrder = OutOfOrder(s, now.listing, writes, all, shapes, directories);
      kinds.Learn(all, directories);
    }
    if (!newest.outOfOrder.empty() && !options.quiet) (void)platform::WriteText(stderr, newest.outOfOrder + "\n");
    if (!refused.empty() && !options.quiet) (void)platform::WriteText(stderr, "newest image: " + refused + "\n");
    // The folder is made only when something is to be written in it.
    if (!superseding.empty() || (options.blocks && !blocks.empty())) MakeFolder(plan.folder);

    HistoryFindings found;
    const std::uint32_t mountTable = MountTableBlock(s);
    std::uint32_t states = 0, below = static_cast<std::uint32_t>(writes.size());
    std::string last;  // the signature of the state walked last
    for (std::size_t i = superseding.size(); i-- > 0 && states < options.depth;) {
      if (superseding[i] >= below) continue;  // inside a state walked already
      std::unique_ptr<WalkedState> w = WalkSettled(s, writes, superseding[i], kinds, newest.outOfOrder.empty(), hashes);
      below = w->flash.Held;
      // Before its Mount Table was written the flash held no file system.
      if (CopyIn(w->flash, mountTable) == kNoWrite) break;
      w->listing.HashFiles(0, w->listing.items.size());
      // Cuts that give the same file system are one state.
      kinds.Learn(w->flash, w->directoryBlocks);
      const std::string signature = Signature(*w);
      if (signature == last) {
        found.states.back()["cuts"].push_back(w->flash.Cut);
        continue;
      }
      last = signature;
      const std::uint32_t k = ++states;
      for (const std::uint32_t n : w->flash.Copied) found.stateOf.emplace(writes[w->flash.CopyOf[n - 1]].RawOffset, k);
      Json summary = {{"state", k}, {"cut", w->flash.Cut}, {"cuts", Json::array({w->flash.Cut})},
                      {"image", nullptr}, {"refused", w->refused.empty() ? Json() : Json(w->refused)}};
      if (options.images) {
        const std::string image = plan.folder + platform::kSeparator + plan.dumpName + ".fs." + std::to_string(k);
        if (auto st = WriteImage(s, w->flash.Image, w->flash.Copied, image, NoFindings()); !st.ok()) {
          (void)platform::RemoveAll(image);  // a partial image would look whole
          throw IoFailure("cannot write " + image + ": " + st.Reason() + " (the partial image was removed)");
        }
        summary["image"] = image;
      }
      SaveState(s, *w, writes, k, plan, newest, newer, found, summary);
      found.states.push_back(std::move(summary));
    }
    RunOutput out;  // where the blocks' folder is made: a run that writes
    out.Console = TextOut::Nowhere();
    out.LogFile = TextOut::Nowhere();
    const Json blockList = SaveBlocks(s, blocks, found.stateOf,
                                      options.blocks ? plan.folder + platform::kSeparator + "blocks" : "", out);
    const auto copies = static_cast<std::uint32_t>(
        std::count_if(blocks.begin(), blocks.end(), [](const PhysicalBlock& b) { return b.Logical != 0; }));
    hasher.Join();
    if (!hashFailure.empty()) throw IoFailure(hashFailure);

    if (!report.empty()) {
      Json j;
      j["tool"] = {{"name", "quillex"}, {"version", QUILLEX_VERSION}};
      j["dump"] = {{"path", dump}, {"size", s.EntrySize}, {"sha256", dumpSha}};
      j.update(InfoJson(s, now.listing));
      j["refused"] = refused.empty() ? Json() : Json(refused);
      j["out_of_order"] = newest.outOfOrder.empty() ? Json() : Json(newest.outOfOrder);
      j["output"] = plan.folder;
      j["hashes"] = HashNames(hashes);
      j["states"] = found.states;
      j["files"] = kFilesPlace;
      j["blocks"] = blockList;
      j["totals"] = {{"states", states},
                     {"files", found.filesSaved},
                     {"folders", found.foldersSaved},
                     {"older_versions", found.olderVersions},
                     {"gone", found.gone},
                     {"deleted", found.deleted},
                     {"inconsistent", found.inconsistent},
                     {"not_saved", found.notSaved},
                     {"bytes_saved", found.bytesSaved},
                     {"superseded_copies", copies},
                     {"free_blocks", blocks.size() - copies},
                     {"warnings", found.warnings}};
      std::string files;
      for (const Reported& item : found.items) files += (files.empty() ? "    " : ",\n    ") + WithOldest(item);
      WriteReport(reportFile, JsonText(j), files, {});
    }
    if (!options.quiet) {
      if (superseding.empty()) {
        WriteOut("no superseded copies: the dump holds no older state\n");
      } else {
        WriteOut(std::to_string(found.filesSaved - found.inconsistentFiles) + " older files from " +
                 std::to_string(states) + " state(s) saved to " + plan.folder + "\n");
      }
      if (found.inconsistent > 0) {
        WriteOut(std::to_string(found.inconsistent) + " files and folders that fit no state saved apart to " +
                 plan.folder + platform::kSeparator + "inconsistent\n");
      }
      if (!blocks.empty()) {
        WriteOut(std::to_string(copies) + " superseded copies, " + std::to_string(blocks.size() - copies) +
                 " free blocks not erased" +
                 (options.blocks ? ", written to " + plan.folder + platform::kSeparator + "blocks" : "") + "\n");
      }
    }
    const bool clean = found.warnings == 0 && !found.anyIncomplete && found.inconsistent == 0 && refused.empty() &&
                       newest.outOfOrder.empty();
    return clean ? kExitDone : kExitWarnings;
  });
}

}  // namespace quillex::cli
