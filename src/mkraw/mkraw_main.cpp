// quillex-mkraw: builds a raw NAND dump from FAT12/FAT16 volume images, for
// trying quillex4 without a phone, teaching the format, or testing tools.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/platform.h"
#include "mkraw/mkraw.h"

namespace {

namespace mk = quillex::mkraw;

constexpr const char* kVersion = "quillex-mkraw 4.7.0";

// Units start at logical block 3, block 2 left empty. quillex4 takes a
// cluster whose image offset is 0 as having no data, and an empty file
// (cluster 0) of a unit at block 2 whose FAT and root directory fill its
// first fs_block lands exactly there: it would not be saved.
constexpr std::uint32_t kFirstUnitBlock = 3;

constexpr const char* kHelp = R"(Usage: quillex-mkraw -o OUTPUT [options] MOUNTPATH=VOLUME ...

Builds a raw NAND dump of a phone's file system area, as quillex4 reads it,
from FAT12/FAT16 volume images (boot sector at their first byte, as mkfs.fat
and mcopy make them). Each MOUNTPATH=VOLUME becomes one MTab unit: a partition
table sector whose entry 1 describes the volume, and the volume's boot sector
three sectors later. Volume files are only read, never changed.

Options:
  -o, --output FILE        the dump to write (required); replaced if it exists
  -b, --block-size N       fs_block size in bytes (default 2048)
      --page-type T        18 ($200 data + $10 spare), 2 ($800 + $40) or none
                           (default none): NAND pages of every segment
      --segments N         number of NAND segments, 1 to 10 (default 1)
      --gap BYTES          address gap between segments (default 0)
      --seed N             seed of the physical shuffle (default 1)
      --no-shuffle         keep logical blocks in physical order
      --free N             erased blocks with free map entries (default 0)
      --stale N            superseded older copies of blocks (default 0)
      --dropped N          map entries of another state per MAP block (default 0)
      --stale-maps         an older MAP block before each live one
      --missing-map-id ID  leave MAP block ID out (repeatable)
      --empty-unit PATH    an MTab unit over a block of zeros (repeatable)
      --invalid-unit PATH  an MTab unit with start 0 and size 0 (repeatable)
      --patch-boot         make the copy's boot sector start EB 00 90 4D, the
                           signature quillex4 recognises
      --written-only       leave each unit's trailing fs_blocks of zeros unmapped,
                           as a flash that never wrote them
      --history [MOUNTPATH=]OLD
                           an older state of a unit's volume (the first
                           unit's without MOUNTPATH; repeatable, oldest
                           first). Map order is then the order of writing:
                           the oldest state of every unit (data blocks, then
                           FAT blocks, then directory blocks), then each
                           newer state's blocks that differ from the state
                           before (data, FAT, directory blocks in turn), the
                           last change giving the volume itself
      --history-per-block  with --history: put each block's older copies just
                           before its newer one in map order instead, and
                           everything else anywhere (for damaged maps)
  -h, --help               this text
      --version            the version

Numbers may be decimal or hexadecimal (0x800 or $800).

A volume may have any FAT12/FAT16 layout with 512-byte sectors, as mkfs.fat
makes it by default: any number of FATs and reserved sectors, any root
directory size, clusters of 512 bytes to 64 KiB whatever the fs_block size.
Its unit is padded with zeros to whole fs_blocks; entry 1 counts the
volume's own sectors. For example:
  mkfs.fat -C volume.img 4096

Exit status: 0 on success, 1 on any failure (nothing is left behind), 2 on a
wrong command line.
)";

struct UsageError {
  std::string message;
};

struct Failure {
  std::string message;
};

std::uint64_t ParseNumber(const std::string& option, const std::string& text) {
  std::string digits = text;
  int base = 10;
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) {
    digits = digits.substr(2);
    base = 16;
  } else if (digits.rfind("$", 0) == 0) {
    digits = digits.substr(1);
    base = 16;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), &end, base);
  if (digits.empty() || *end != '\0' || errno != 0 || digits[0] == '-') {
    throw UsageError{"option " + option + ": '" + text + "' is not a number"};
  }
  return value;
}

std::uint32_t ParseU32(const std::string& option, const std::string& text, std::uint64_t max = 0xFFFFFFFF) {
  const std::uint64_t value = ParseNumber(option, text);
  if (value > max) throw UsageError{"option " + option + ": " + text + " is too large (at most " + std::to_string(max) + ")"};
  return static_cast<std::uint32_t>(value);
}

struct Options {
  std::string output;
  std::uint32_t blockSize = 0x800;
  std::uint32_t pageType = mk::kPageTypeNone;
  std::uint32_t segments = 1;
  std::uint32_t gap = 0;
  std::uint64_t seed = 1;
  bool shuffle = true;
  std::uint32_t freeBlocks = 0;
  std::uint32_t stale = 0;
  std::uint32_t dropped = 0;
  bool staleMaps = false;
  std::vector<std::uint32_t> missingMapIds;
  std::vector<std::string> emptyUnits;
  std::vector<std::string> invalidUnits;
  bool patchBoot = false;
  bool writtenOnly = false;
  bool historyPerBlock = false;
  std::vector<std::pair<std::string, std::string>> volumes;  // mount path, file
  std::vector<std::pair<std::string, std::string>> history;  // mount path ("": the first unit), older volume
};

Options ParseArguments(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
      }
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw UsageError{"option " + arg + " needs a value"};
      return args[++i];
    };
    if (arg == "-o" || arg == "--output") {
      o.output = value();
    } else if (arg == "-b" || arg == "--block-size") {
      o.blockSize = ParseU32(arg, value());
    } else if (arg == "--page-type") {
      const std::string t = value();
      if (t == "none") {
        o.pageType = mk::kPageTypeNone;
      } else {
        o.pageType = ParseU32(arg, t);
        if (o.pageType != mk::kPageTypeSmall && o.pageType != mk::kPageTypeLarge) {
          throw UsageError{"option --page-type: " + t + " is not 18, 2 or none"};
        }
      }
    } else if (arg == "--segments") {
      o.segments = ParseU32(arg, value(), 10);
      if (o.segments == 0) throw UsageError{"option --segments: at least 1"};
    } else if (arg == "--gap") {
      o.gap = ParseU32(arg, value());
    } else if (arg == "--seed") {
      o.seed = ParseNumber(arg, value());
    } else if (arg == "--no-shuffle") {
      o.shuffle = false;
    } else if (arg == "--free") {
      o.freeBlocks = ParseU32(arg, value(), 100000);
    } else if (arg == "--stale") {
      o.stale = ParseU32(arg, value(), 100000);
    } else if (arg == "--dropped") {
      o.dropped = ParseU32(arg, value());
    } else if (arg == "--stale-maps") {
      o.staleMaps = true;
    } else if (arg == "--missing-map-id") {
      o.missingMapIds.push_back(ParseU32(arg, value(), 100));
    } else if (arg == "--empty-unit") {
      o.emptyUnits.push_back(value());
    } else if (arg == "--invalid-unit") {
      o.invalidUnits.push_back(value());
    } else if (arg == "--history") {
      const std::string v = value();
      const std::size_t eq = v.find('=');
      if (!v.empty() && v[0] == '/' && eq != std::string::npos) {
        o.history.emplace_back(v.substr(0, eq), v.substr(eq + 1));
      } else {
        o.history.emplace_back("", v);
      }
    } else if (arg == "--history-per-block") {
      o.historyPerBlock = true;
    } else if (arg == "--patch-boot") {
      o.patchBoot = true;
    } else if (arg == "--written-only") {
      o.writtenOnly = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError{"unknown option " + arg};
    } else {
      const std::size_t eq = arg.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) {
        throw UsageError{"'" + arg + "' is not MOUNTPATH=VOLUME"};
      }
      o.volumes.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
    }
  }
  if (o.output.empty()) throw UsageError{"no output file (-o FILE)"};
  if (o.volumes.empty()) throw UsageError{"no volume (MOUNTPATH=VOLUME)"};
  if (o.historyPerBlock && o.history.empty()) throw UsageError{"option --history-per-block needs --history"};
  if (o.blockSize < 512 || o.blockSize > 65536 || o.blockSize % 512 != 0) {
    throw UsageError{"option --block-size: " + std::to_string(o.blockSize) +
                     " is not a multiple of 512 from 512 to 65536, the sizes quillex4 reads"};
  }
  return o;
}

// Files go through the platform module, so that on Windows a name reaches
// the disk as Unicode.
mk::Bytes ReadVolume(const std::string& path) {
  namespace platform = quillex::platform;
  platform::File file;
  std::uint64_t size = 0;
  if (auto st = platform::OpenForReading(path, file); !st.ok()) throw Failure{path + ": cannot open: " + st.Reason()};
  if (auto st = platform::FileSize(file, size); !st.ok()) throw Failure{path + ": cannot read: " + st.Reason()};
  if (size > SIZE_MAX) throw Failure{path + ": too large to hold"};
  mk::Bytes bytes(static_cast<std::size_t>(size));
  std::size_t got = 0;
  if (auto st = platform::ReadFully(file, bytes.data(), bytes.size(), got); !st.ok()) {
    throw Failure{path + ": cannot read: " + st.Reason()};
  }
  (void)platform::Close(file);
  bytes.resize(got);
  return bytes;
}

void CheckMountPath(const std::string& path) {
  if (path.empty() || path[0] != '/') throw UsageError{"mount path '" + path + "' does not begin with /"};
  if (path.size() > 28) throw UsageError{"mount path '" + path + "' is longer than 28 bytes"};
}

mk::FlashSpec MakeSpec(const Options& o) {
  mk::FlashSpec plan;
  plan.fsBlockSize = o.blockSize;
  plan.seed = o.seed;
  plan.shuffle = o.shuffle;
  plan.freeBlocks = o.freeBlocks;
  plan.staleCopies = o.stale;
  plan.droppedPerMap = o.dropped;
  plan.staleMapDuplicates = o.staleMaps;
  plan.missingMapIds = o.missingMapIds;
  for (std::uint32_t i = 0; i < o.segments; ++i) {
    plan.segments.push_back({o.pageType, 0, i + 1 < o.segments ? o.gap : 0, {}});
  }

  std::vector<mk::UnitVolume> units;
  for (const auto& [mountPath, file] : o.volumes) {
    CheckMountPath(mountPath);
    mk::UnitVolume unit;
    unit.mountPath = mountPath;
    unit.volume = ReadVolume(file);
    const mk::VolumeFit fit = mk::CheckVolume(unit.volume);
    if (!fit.problems.empty()) {
      std::string message = file + ": is not a FAT12/FAT16 volume that quillex-mkraw can take:";
      for (const std::string& p : fit.problems) message += "\n  - " + p;
      throw Failure{message};
    }
    if (!fit.bootSignature && !o.patchBoot) {
      char bytes[32];
      std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X", unit.volume[0], unit.volume[1], unit.volume[2],
                    unit.volume[3]);
      throw Failure{file + ": its boot sector starts " + bytes +
                    "; quillex4 recognises only EB 00 90 4D (add --patch-boot to patch the copy)"};
    }
    unit.parType = fit.parType;
    unit.patchBootSignature = o.patchBoot;
    unit.writtenOnly = o.writtenOnly;
    units.push_back(std::move(unit));
  }

  // Units for testing: one over a block of zeros, and ones with start 0.
  std::vector<mk::MountUnit> extra;
  std::uint32_t next = kFirstUnitBlock;
  for (const mk::UnitVolume& unit : units) {
    next += static_cast<std::uint32_t>((mk::MakeUnitImage(unit).size() + o.blockSize - 1) / o.blockSize);
  }
  for (const std::string& path : o.emptyUnits) {
    CheckMountPath(path);
    if (next > 0xFFFF) throw Failure{"too many units for 16-bit block numbers"};
    plan.logicalBlocks[next] = mk::Bytes(o.blockSize, 0);
    extra.push_back({path, static_cast<std::uint16_t>(next), 1, {}});
    ++next;
  }
  for (const std::string& path : o.invalidUnits) {
    CheckMountPath(path);
    extra.push_back({path, 0, 0, {}});
  }
  if (units.size() + extra.size() > 21) throw Failure{"quillex4 reads at most 21 MTab units"};
  mk::AddUnits(plan, units, kFirstUnitBlock, extra);

  // Each unit's older states, in the order given (oldest first).
  std::uint32_t first = kFirstUnitBlock;
  for (std::size_t u = 0; u < units.size(); ++u) {
    std::vector<mk::Bytes> older;
    for (const auto& [mountPath, file] : o.history) {
      if (mountPath == units[u].mountPath || (mountPath.empty() && u == 0)) older.push_back(ReadVolume(file));
    }
    if (!older.empty()) {
      try {
        mk::AddHistory(plan, units[u], first, older,
                       o.historyPerBlock ? mk::HistoryOrder::PerBlock : mk::HistoryOrder::Flash);
      } catch (const std::invalid_argument& e) {
        throw Failure{e.what()};
      }
    }
    first += static_cast<std::uint32_t>((mk::MakeUnitImage(units[u]).size() + o.blockSize - 1) / o.blockSize);
  }
  for (const auto& [mountPath, file] : o.history) {
    bool known = mountPath.empty();
    for (const mk::UnitVolume& unit : units) known = known || unit.mountPath == mountPath;
    if (!known) throw UsageError{"--history " + mountPath + "=" + file + ": no volume is mounted at " + mountPath};
  }
  return plan;
}

// Writes through a temporary file beside the output, renamed into place only
// once complete, so a failure leaves nothing behind.
void WriteOutput(const std::string& path, const mk::Bytes& dump) {
  namespace platform = quillex::platform;
  const std::string temp = path + ".partial";
  platform::File file;
  platform::Status st = platform::CreateFile(temp, file);
  if (!st.ok()) throw Failure{path + ": cannot create: " + st.Reason()};
  st = platform::WriteAll(file, dump.data(), dump.size());
  const platform::Status closed = platform::Close(file);
  if (st.ok()) st = closed;
  if (st.ok()) st = platform::Rename(temp, path);  // replaces an existing file
  if (!st.ok()) {
    (void)platform::RemoveAll(temp);
    throw Failure{path + ": cannot write: " + st.Reason()};
  }
}

}  // namespace

int main(int argc, char** argv) {
  quillex::platform::PrepareProcess();
  std::vector<std::string> args = quillex::platform::Arguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      std::cout << kHelp;
      return 0;
    }
    if (a == "--version") {
      std::cout << kVersion << "\n";
      return 0;
    }
  }
  try {
    const Options options = ParseArguments(args);
    const mk::FlashSpec plan = MakeSpec(options);
    mk::Bytes dump;
    try {
      dump = mk::BuildDump(plan);
    } catch (const std::invalid_argument& e) {
      throw Failure{std::string("cannot lay out the dump: ") + e.what()};
    }
    WriteOutput(options.output, dump);
    std::cout << "quillex-mkraw: wrote " << options.output << " (" << dump.size() << " bytes, "
              << options.volumes.size() << " volume(s))\n";
    return 0;
  } catch (const UsageError& e) {
    std::cerr << "quillex-mkraw: " << e.message << "\nTry 'quillex-mkraw --help'.\n";
    return 2;
  } catch (const Failure& e) {
    std::cerr << "quillex-mkraw: " << e.message << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "quillex-mkraw: " << e.what() << "\n";
    return 1;
  }
}
