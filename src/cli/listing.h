// What quillex keeps of a run's findings: the units and partitions, every
// file and folder with its status and hashes, and every warning. The
// listing, the report, the body file and `cat` are all made from it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "base/findings.h"
#include "base/platform.h"
#include "cli/progress.h"

namespace quillex::cli {

// The digests chosen with --hash, in the order of this list.
struct HashChoice {
  bool md5 = false;
  bool sha1 = false;
  bool sha256 = false;
};

// One file or folder, and what became of it.
struct Item {
  ItemFound found;
  std::uint32_t partition = 0;  // index into Listing::partitions
  std::uint32_t written = 0;     // bytes written (files)
  std::uint32_t clusters = 0;    // clusters of its chain that were reached
  std::vector<std::uint16_t> lostClusters;
  std::optional<std::uint16_t> loopAt;  // where its chain ran into itself
  std::string skipped;                  // why it was not made; empty when it was
  std::string md5, sha1, sha256;
  std::size_t firstPiece = 0, endPiece = 0;  // its bytes, in Listing's pieces
  std::vector<ClusterPlace> places;  // its chain, when the listing keeps it

  bool Complete() const {
    return skipped.empty() && lostClusters.empty() && !loopAt && found.NameBefore.empty() &&
           (found.Directory || written >= found.Size);
  }
};

struct PartitionCounts {
  PartitionFound found;
  std::uint32_t files = 0;
  std::uint32_t folders = 0;
  std::uint32_t deleted = 0;
};

class Listing : public Findings {
 public:
  Listing(HashChoice hashes, Progress* progress) : hashes_(hashes), progress_(progress) {}

  // Sends the bytes of the file at this path (as the listing shows it, or
  // from the unit's folder on) to `out`; `Found` tells whether it was met.
  void Stream(std::string path, std::FILE* out) {
    catPath_ = std::move(path);
    catOut_ = out;
  }
  bool Found() const { return catFound_; }

  // The digests chosen of the files items[from, to) (apart ranges may be
  // hashed at once, on two threads). A file's bytes are kept as places in
  // the image the run read, so that image must still be there.
  void HashFiles(std::size_t from, std::size_t to);
  // Hands the bytes of a file, as kept for its digests, to emit(data, size)
  // (data null for zeros).
  template <typename Emit>
  void ForEachPiece(const Item& item, Emit&& emit) const {
    for (std::size_t p = item.firstPiece; p < item.endPiece; ++p) emit(pieces_[p].data, pieces_[p].size);
  }

  std::vector<UnitFound> units;
  std::vector<PartitionCounts> partitions;
  std::vector<Item> items;  // in the order the walk met them
  // Whether finished items stay in `items`; when not, only whether any of
  // them was not complete is kept (an extraction with nothing to list).
  bool keepItems = true;
  // Whether each item keeps its clusters and their places (Item::places).
  bool keepClusters = false;
  bool anyIncomplete = false;
  std::uint32_t filesWritten = 0;
  std::vector<std::string> warnings;
  // Where warnings are shown as they come (null: nowhere).
  std::FILE* warningsOut = nullptr;

  void Stage(std::string_view name, std::uint64_t total) override;
  void Advance(std::uint64_t done) override;
  void Unit(const UnitFound& unit) override { units.push_back(unit); }
  void Partition(const PartitionFound& partition) override;
  void ItemBegin(const ItemFound& item) override;
  void FileBytes(const std::uint8_t* data, std::size_t size) override;
  void Cluster(std::uint16_t cluster, std::uint32_t offset, std::uint32_t fatEntry, bool lost) override;
  void ChainLoop(std::uint16_t cluster) override;
  void ItemEnd(std::uint32_t written) override;
  void ItemSkipped(const ItemFound& item, std::string_view why) override;
  void Warning(std::string_view line) override;

 private:
  Item& Add(const ItemFound& found);
  void Finished(std::size_t index);

  HashChoice hashes_;
  Progress* progress_;
  std::vector<std::size_t> open_;  // items begun and not ended, outermost first
  struct Piece {
    const std::uint8_t* data;  // null for zeros
    std::size_t size;
  };
  std::vector<Piece> pieces_;
  std::string catPath_;
  std::FILE* catOut_ = nullptr;
  bool catting_ = false;
  bool catFound_ = false;
};

// Whether a listing path names the item at `path` on disk: the same path
// with either separator, or the part after the extraction folder's name.
bool SamePath(std::string_view asked, std::string_view path);

}  // namespace quillex::cli
