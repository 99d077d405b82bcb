#include "cli/report.h"

#include <cstdio>
#include <algorithm>
#include <vector>

#include "base/hex.h"
#include "base/names.h"
#include "fat/fat.h"
#include "partition/partition.h"

namespace quillex::cli {
namespace {

// Counts of the block map: entries naming a block, free ones, and those
// superseded by a later entry for the same block.
struct MapCounts {
  std::uint32_t mapped = 0;
  std::uint32_t free = 0;
  std::uint32_t stale = 0;
};

MapCounts CountMap(const RawImageState& s) {
  MapCounts counts;
  std::vector<std::uint32_t> blocks;
  for (const std::uint32_t e : s.BlockMap) {
    if ((e & kFreeNumber) == kFreeNumber) {
      ++counts.free;
    } else if (const std::uint32_t n = CopiedBlock(e); n != 0) {
      ++counts.mapped;
      blocks.push_back(n);
    }
  }
  std::sort(blocks.begin(), blocks.end());
  const auto distinct = std::unique(blocks.begin(), blocks.end()) - blocks.begin();
  counts.stale = counts.mapped - static_cast<std::uint32_t>(distinct);
  return counts;
}

std::string Flags(std::uint8_t a) {
  std::string text = "------";
  const char letters[] = "RHSVDA";
  for (int bit = 0; bit < 6; ++bit) {
    if ((a >> bit & 1) != 0) text[static_cast<std::size_t>(bit)] = letters[bit];
  }
  return text;
}

Json OrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

}  // namespace

std::string IsoDateTime(std::uint16_t date, std::uint16_t time, std::uint8_t centis) {
  platform::LocalTime t;
  if (!DecodeFatTime(date, time, t)) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second + (centis < 200 ? centis / 100 : 0));
  std::string iso = text;
  if (centis < 200 && centis % 100 != 0) {
    std::snprintf(text, sizeof text, ".%02d", centis % 100);
    iso += text;
  }
  return iso;
}

std::string IsoDate(std::uint16_t date) {
  platform::LocalTime t;
  if (!DecodeFatTime(date, 0, t)) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

Json InfoJson(const RawImageState& s, const Listing& listing) {
  Json info;
  info["version"] = s.FsVersion;
  info["fs_block_size"] = s.FsBlockSize;
  Json segments = Json::array();
  for (const SegmentRecord& r : s.SegmentTable) {
    segments.push_back({{"start", r.Start}, {"end", r.End}, {"page_type", r.PageType}, {"fs_block_size", r.FsBlockSize}});
  }
  info["segments"] = segments;

  Json blocks = Json::array();
  Json missing = Json::array();
  for (std::uint32_t id = 0; id <= s.HighestMapId; ++id) {
    if (s.MapFound[id]) {
      blocks.push_back({{"id", id}, {"offset", s.MapPositions[id]}});
    } else {
      missing.push_back(id);
    }
  }
  const MapCounts counts = CountMap(s);
  info["map"] = {{"blocks", blocks},        {"missing_ids", missing},        {"entries", s.BlockMap.size()},
                 {"mapped", counts.mapped}, {"free", counts.free},           {"stale_copies", counts.stale},
                 {"highest_block", s.MaxBlockNumber}};
  info["image"] = {{"size", std::uint64_t{s.MaxBlockNumber} * s.FsBlockSize}, {"blocks", s.MaxBlockNumber}};

  Json units = Json::array();
  for (const UnitFound& u : listing.units) {
    units.push_back({{"index", u.Index},
                     {"mount_path", Cp1252ToUtf8(u.MountPath)},
                     {"start_block", u.StartBlock},
                     {"size", u.SizeBytes},
                     {"path", OrNull(u.Path)}});
  }
  info["units"] = units;

  Json partitions = Json::array();
  for (const PartitionCounts& c : listing.partitions) {
    const PartitionFound& p = c.found;
    Json part = {{"unit", p.Unit},
                 {"entry", p.Entry},
                 {"type", p.ParType},
                 {"type_name", PartitionTypeName(p.ParType)},
                 {"supported", p.Supported},
                 {"first_sector", p.FirstSecOffset},
                 {"sectors", p.NumOfSectors},
                 {"path", p.Path}};
    if (p.Supported) {
      part["boot_sector_offset"] = p.FsInfoOffset;
      part["bytes_per_sector"] = p.Boot.BytesPerSector;
      part["sectors_per_cluster"] = p.Boot.SectorsPerCluster;
      part["reserved_sectors"] = p.Boot.ReservedSectors;
      part["fats"] = p.Boot.NumberOfFAT;
      part["root_entries"] = p.Boot.MaxRootEntry;
      part["total_sectors"] = p.Boot.TotalSectors;
      part["sectors_per_fat"] = p.Boot.SecsPerFAT;
      part["clusters"] = ClusterCount(p.Boot);
      // How the volume was addressed: as the phone lays it out, or as its
      // boot sector says (a volume formatted otherwise).
      part["layout"] = p.FromBootSector ? "boot sector" : "phone";
      part["cluster_bytes"] = p.ClusterBytes;
      part["root_sector"] = p.RootSector;
      part["first_data_sector"] = p.FirstDataSector;
      part["files"] = c.files;
      part["folders"] = c.folders;
      part["deleted"] = c.deleted;
    }
    partitions.push_back(part);
  }
  info["partitions"] = partitions;
  return info;
}

std::string InfoText(const RawImageState& s, const Listing& listing) {
  const Json info = InfoJson(s, listing);
  std::string text;
  auto line = [&](const std::string& l) { text += l + "\n"; };
  line("FS image version: " + std::to_string(s.FsVersion) + ", fs_block size: $" + HexDword(s.FsBlockSize));
  for (std::size_t i = 0; i < s.SegmentTable.size(); ++i) {
    const SegmentRecord& r = s.SegmentTable[i];
    line("segment " + std::to_string(i) + ": $" + HexDword(r.Start) + "-$" + HexDword(r.End) + ", page type " +
         std::to_string(r.PageType));
  }
  const Json& map = info["map"];
  std::string ids;
  for (const Json& b : map["blocks"]) ids += " " + b["id"].dump() + "@$" + HexDword(b["offset"].get<std::uint32_t>());
  line("MAP blocks:" + (ids.empty() ? std::string(" none") : ids));
  std::string missing;
  for (const Json& id : map["missing_ids"]) missing += " " + id.dump();
  line("missing MAP ids:" + (missing.empty() ? std::string(" none") : missing));
  line("map entries: " + map["entries"].dump() + " (mapped " + map["mapped"].dump() + ", free " +
       map["free"].dump() + ", stale copies " + map["stale_copies"].dump() + ")");
  line("image: " + info["image"]["size"].dump() + " bytes, " + info["image"]["blocks"].dump() + " fs_blocks");
  for (const UnitFound& u : listing.units) {
    line("unit " + std::to_string(u.Index) + ": " + Cp1252ToUtf8(u.MountPath) + ", start $" + HexWord(u.StartBlock) +
         ", size $" + HexDword(u.SizeBytes) + (u.Path.empty() ? ", no partition" : ", into " + u.Path));
  }
  for (const Json& p : info["partitions"]) {
    std::string l = "partition of unit " + p["unit"].dump() + ": type $" + HexByte(p["type"].get<std::uint32_t>()) +
                    " " + p["type_name"].get<std::string>();
    if (!p["supported"].get<bool>()) {
      line(l + ", not walked");
      continue;
    }
    l += ", boot sector @ $" + HexDword(p["boot_sector_offset"].get<std::uint32_t>()) + ", " +
         p["bytes_per_sector"].dump() + " bytes/sector, " + p["sectors_per_cluster"].dump() + " sectors/cluster, " +
         p["total_sectors"].dump() + " sectors, " + p["clusters"].dump() + " clusters of " +
         p["cluster_bytes"].dump() + " bytes, layout " + p["layout"].get<std::string>() + "; " + p["files"].dump() +
         " files, " + p["folders"].dump() + " folders, " + p["deleted"].dump() + " deleted";
    line(l);
  }
  return text;
}

Json ItemJson(const Item& item) {
  const ItemFound& f = item.found;
  Json j;
  j["path"] = f.Path;
  j["name"] = Cp1252ToUtf8(f.LogName);
  j["kind"] = f.Directory ? "folder" : "file";
  j["size"] = f.Size;
  if (!f.Directory) j["written"] = item.written;
  j["deleted"] = f.Deleted;
  j["attributes"] = f.Attributes;
  j["flags"] = Flags(f.Attributes);
  j["first_cluster"] = f.FirstCluster;
  j["clusters"] = item.clusters;
  j["entry_offset"] = f.EntryOffset;
  j["modified"] = OrNull(IsoDateTime(f.WrittenDate, f.WrittenTime, 0));
  j["accessed"] = OrNull(IsoDate(f.AccessedDate));
  j["created"] = OrNull(IsoDateTime(f.CreatedDate, f.CreatedTime, f.CreatedCentis));
  if (!item.md5.empty()) j["md5"] = item.md5;
  if (!item.sha1.empty()) j["sha1"] = item.sha1;
  if (!item.sha256.empty()) j["sha256"] = item.sha256;

  Json status = Json::array();
  if (!item.skipped.empty()) {
    status.push_back("skipped");
    j["skipped"] = item.skipped;
  }
  if (!item.lostClusters.empty()) {
    status.push_back("lost_clusters");
    j["lost_clusters"] = item.lostClusters;
  }
  if (!f.Directory && item.skipped.empty() && item.written < f.Size) status.push_back("short");
  if (item.loopAt) {
    status.push_back("chain_loop");
    j["loop_at"] = *item.loopAt;
  }
  if (!f.NameBefore.empty()) {
    status.push_back("renamed");
    j["renamed_from"] = f.NameBefore;
  }
  if (status.empty()) status.push_back("complete");
  j["status"] = status;
  return j;
}

std::string ItemLine(const Item& item, bool longForm) {
  const ItemFound& f = item.found;
  std::string line = f.Directory ? "d/d " : "r/r ";
  if (f.Deleted) line += "* ";
  if (longForm) {
    char size[16];
    std::snprintf(size, sizeof size, "%10u", static_cast<unsigned>(f.Size));
    const std::string when = IsoDateTime(f.WrittenDate, f.WrittenTime, 0);
    line += Flags(f.Attributes) + " " + size + " " + (when.empty() ? std::string(19, '-') : when) + " ";
  }
  line += f.Path;
  if (!item.skipped.empty()) line += " (skipped: " + item.skipped + ")";
  return line;
}

std::string BodyLine(const Item& item) {
  const ItemFound& f = item.found;
  // The mode as timeline tools print it: the file type twice, then the
  // permissions, with write taken away from a read-only entry.
  const bool readOnly = (f.Attributes & 0x01) != 0;
  std::string mode = f.Directory ? "d/d" : "r/r";
  mode += readOnly ? "r-xr-xr-x" : "rwxrwxrwx";
  std::string name = f.Path;
  if (f.Deleted) name += " (deleted)";
  // The times the files on disk get.
  const platform::FileTimes t = TimesOf(f);
  auto seconds = [](bool valid, const platform::LocalTime& time) { return valid ? platform::UnixTime(time) : 0; };
  return (item.md5.empty() ? std::string("0") : item.md5) + "|" + name + "|" +
         std::to_string(f.EntryOffset / kDirEntrySize) + "|" + mode + "|0|0|" + std::to_string(f.Size) + "|" +
         std::to_string(seconds(t.hasAccessed, t.accessed)) + "|" + std::to_string(seconds(t.hasModified, t.modified)) +
         "|0|" + std::to_string(seconds(t.hasCreated, t.created)) + "\n";
}

std::string JsonText(const Json& json) {
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace quillex::cli
