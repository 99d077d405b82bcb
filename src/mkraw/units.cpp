// Partition units as a phone holds them: the Mount Table, a partition table
// in front of each volume, and their logical fs_blocks.
#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "mkraw/format.h"
#include "mkraw/mkraw.h"

namespace quillex::mkraw {

using namespace format;

Bytes MakeMountTable(const std::vector<MountUnit>& units, std::uint32_t fsBlockSize) {
  if (units.size() * kUnitSize + kEndMarkSize > fsBlockSize) {
    throw std::invalid_argument("Mount Table larger than an fs_block");
  }
  Bytes block(fsBlockSize, 0xFF);
  for (std::size_t i = 0; i < units.size(); ++i) {
    const MountUnit& unit = units[i];
    if (unit.path.size() > kUnitPathMax) throw std::invalid_argument("mount path over 28 bytes");
    const std::size_t at = kUnitSize * i;
    std::fill_n(block.begin() + static_cast<std::ptrdiff_t>(at), kUnitSize, std::uint8_t{0});
    for (std::size_t c = 0; c < unit.path.size(); ++c) {
      block[at + kUnitPath + c] = static_cast<std::uint8_t>(unit.path[c]);
    }
    block[at + kUnitPathLength] =
        unit.pathLength.value_or(static_cast<std::uint8_t>(unit.path.size()));
    StoreU16(block, at + kUnitStart, unit.startBlock);
    StoreU16(block, at + kUnitBlocks, unit.sizeBlocks);
  }
  const std::size_t end = kUnitSize * units.size();
  block[end] = 0;
  block[end + 1] = 0;
  return block;
}

namespace {

// Block `index` of a unit image. A volume need not end on an fs_block
// boundary: the last block is padded with zeros, as the phone's are.
Bytes UnitBlock(const Bytes& image, std::size_t index, std::size_t blockSize) {
  Bytes block(blockSize, 0);
  const std::size_t from = index * blockSize;
  const std::size_t to = std::min(image.size(), from + blockSize);
  std::copy(image.begin() + static_cast<std::ptrdiff_t>(from), image.begin() + static_cast<std::ptrdiff_t>(to),
            block.begin());
  return block;
}

// Whether two images of one length hold the same bytes in block `index`.
bool SameBlock(const Bytes& a, const Bytes& b, std::size_t index, std::size_t blockSize) {
  const std::size_t from = std::min(a.size(), index * blockSize);
  const std::size_t to = std::min(a.size(), from + blockSize);
  return std::equal(a.begin() + static_cast<std::ptrdiff_t>(from), a.begin() + static_cast<std::ptrdiff_t>(to),
                    b.begin() + static_cast<std::ptrdiff_t>(from));
}

// Cylinder/sector word: low byte = c9 c8 s5..s0, high byte = c7..c0.
std::uint16_t PackCylSec(std::uint32_t cylinder, std::uint32_t sector) {
  return static_cast<std::uint16_t>((sector & 0x3Fu) | ((cylinder >> 2) & 0xC0u) | (cylinder & 0xFFu) << 8);
}

}  // namespace

Bytes MakeUnitImage(const UnitVolume& unit) {
  if (unit.patchBootSignature && unit.volume.size() < 4) {
    throw std::invalid_argument("volume too short for the boot signature");
  }
  const std::size_t sectors = CeilDiv(unit.volume.size(), kSectorSize);
  if (sectors > 0xFFFFFFFFu - kVolumeFirstSector) throw std::invalid_argument("volume too large");
  const auto numOfSectors = static_cast<std::uint32_t>(sectors);

  const std::size_t boot = kSectorSize * kVolumeFirstSector;
  Bytes image(boot + unit.volume.size(), 0);
  std::copy(unit.volume.begin(), unit.volume.end(), image.begin() + static_cast<std::ptrdiff_t>(boot));
  const std::size_t entry = kTableEntry1;
  image[entry + kEntryCurState] = 0x80;
  image[entry + kEntryBOPHead] = 1;
  StoreU16(image, entry + kEntryBOPCelSec, PackCylSec(0, 1));
  image[entry + kEntryParType] = unit.parType;
  // Address of the volume's last sector (its first when it has none).
  const std::uint32_t last = kVolumeFirstSector + (numOfSectors == 0 ? 0 : numOfSectors - 1);
  const std::uint32_t cylinder = std::min(last / (kHeads * kSectorsPerTrack), kMaxCylinder);
  image[entry + kEntryEOPHead] = static_cast<std::uint8_t>(last / kSectorsPerTrack % kHeads);
  StoreU16(image, entry + kEntryEOPCelSec, PackCylSec(cylinder, last % kSectorsPerTrack + 1));
  StoreU32(image, entry + kEntryFirstSecOffset, kVolumeFirstSector);
  StoreU32(image, entry + kEntryNumOfSectors, numOfSectors);
  image[kTableSignature] = 0x55;
  image[kTableSignature + 1] = 0xAA;

  if (unit.patchBootSignature) {
    image[boot] = 0xEB;
    image[boot + 1] = 0x00;
    image[boot + 2] = 0x90;
    image[boot + 3] = 0x4D;  // 'M'
  }
  return image;
}

std::uint32_t AddUnits(FlashSpec& plan, const std::vector<UnitVolume>& units, std::uint32_t firstBlock,
                       const std::vector<MountUnit>& extra) {
  constexpr std::uint32_t kMountTableBlock = 1;
  if (firstBlock <= kMountTableBlock) throw std::invalid_argument("units must start after the Mount Table");
  if (plan.fsBlockSize == 0) throw std::invalid_argument("fs_block size 0");
  std::vector<MountUnit> mounts;
  std::map<std::uint32_t, Bytes> blocks;
  std::uint64_t block = firstBlock;
  for (const UnitVolume& unit : units) {
    const Bytes image = MakeUnitImage(unit);
    const std::size_t count = CeilDiv(image.size(), plan.fsBlockSize);
    // Start and size are 16-bit fields of the MTab unit.
    if (block > 0xFFFF || count > 0xFFFF) throw std::invalid_argument("unit beyond 16-bit block numbers");
    mounts.push_back({unit.mountPath, static_cast<std::uint16_t>(block), static_cast<std::uint16_t>(count), {}});
    std::size_t mapped = count;
    auto zeros = [&](std::size_t i) {
      const Bytes b = UnitBlock(image, i, plan.fsBlockSize);
      return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
    };
    while (unit.writtenOnly && mapped > 1 && zeros(mapped - 1)) --mapped;
    for (std::size_t i = 0; i < mapped; ++i) {
      blocks[static_cast<std::uint32_t>(block + i)] = UnitBlock(image, i, plan.fsBlockSize);
    }
    block += count;
  }
  mounts.insert(mounts.end(), extra.begin(), extra.end());
  blocks[kMountTableBlock] = MakeMountTable(mounts, plan.fsBlockSize);
  for (const auto& [number, data] : blocks) {
    if (plan.logicalBlocks.contains(number)) {
      throw std::invalid_argument("logical fs_block " + std::to_string(number) + " is taken already");
    }
  }
  plan.logicalBlocks.merge(blocks);
  plan.mountTableBlock = kMountTableBlock;
  return static_cast<std::uint32_t>(block);
}

std::size_t AddHistory(FlashSpec& plan, const UnitVolume& unit, std::uint32_t firstBlock,
                       const std::vector<Bytes>& olderVolumes, HistoryOrder order) {
  if (plan.fsBlockSize == 0) throw std::invalid_argument("fs_block size 0");
  std::vector<const Bytes*> volumes;  // oldest first, the live one last
  std::vector<Bytes> images;
  for (const Bytes& volume : olderVolumes) {
    if (volume.size() != unit.volume.size()) {
      throw std::invalid_argument("an older volume of " + unit.mountPath + " is " + std::to_string(volume.size()) +
                                  " bytes long, the volume " + std::to_string(unit.volume.size()));
    }
    UnitVolume older = unit;
    older.volume = volume;
    images.push_back(MakeUnitImage(older));
    volumes.push_back(&volume);
  }
  images.push_back(MakeUnitImage(unit));
  volumes.push_back(&unit.volume);
  const std::size_t count = CeilDiv(images.back().size(), plan.fsBlockSize);
  const auto block = [&](std::size_t state, std::size_t i) { return UnitBlock(images[state], i, plan.fsBlockSize); };
  const auto number = [&](std::size_t i) { return static_cast<std::uint32_t>(firstBlock + i); };
  std::size_t added = 0;

  if (order == HistoryOrder::PerBlock) {
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t v = 0; v + 1 < images.size(); ++v) {
        Bytes older = block(v, i);
        if (older == block(v + 1, i)) continue;
        plan.olderCopies[number(i)].push_back(std::move(older));
        ++added;
      }
    }
    return added;
  }

  plan.flashOrder = true;
  const std::vector<BlockClass> first = ClassifyUnitBlocks(*volumes.front(), unit.parType, plan.fsBlockSize);
  for (std::size_t i = 0; i < count; ++i) {
    // A block left unmapped (written-only) is never written.
    if (!plan.logicalBlocks.contains(number(i))) continue;
    plan.firstClasses[number(i)] = first.at(i);
    if (!SameBlock(images.front(), images.back(), i, plan.fsBlockSize)) plan.firstCopies[number(i)] = block(0, i);
  }
  for (std::size_t state = 1; state < images.size(); ++state) {
    const std::vector<BlockClass> classes = ClassifyUnitBlocks(*volumes[state], unit.parType, plan.fsBlockSize);
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < count; ++i) {
      if (!SameBlock(images[state], images[state - 1], i, plan.fsBlockSize)) changed.push_back(i);
    }
    std::stable_sort(changed.begin(), changed.end(),
                     [&](std::size_t a, std::size_t b) { return classes.at(a) < classes.at(b); });
    for (const std::size_t i : changed) plan.laterWrites.push_back({number(i), block(state, i)});
    added += changed.size();
  }
  return added;
}

}  // namespace quillex::mkraw
