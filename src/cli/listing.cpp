#include "cli/listing.h"

#include <algorithm>

#include "base/platform.h"

namespace quillex::cli {

void Listing::Stage(std::string_view name, std::uint64_t total) {
  if (progress_ != nullptr) progress_->Stage(name, total);
}

void Listing::Advance(std::uint64_t done) {
  if (progress_ != nullptr) progress_->Done(done);
}

void Listing::Partition(const PartitionFound& partition) {
  PartitionCounts counts;
  counts.found = partition;
  partitions.push_back(counts);
}

Item& Listing::Add(const ItemFound& found) {
  Item item;
  item.found = found;
  item.partition = partitions.empty() ? 0 : static_cast<std::uint32_t>(partitions.size() - 1);
  if (!partitions.empty()) {
    PartitionCounts& counts = partitions.back();
    ++(found.Directory ? counts.folders : counts.files);
    if (found.Deleted) ++counts.deleted;
  }
  items.push_back(std::move(item));
  return items.back();
}

void Listing::ItemBegin(const ItemFound& found) {
  Add(found);
  open_.push_back(items.size() - 1);
  if (found.Directory) return;
  items.back().firstPiece = items.back().endPiece = pieces_.size();
  catting_ = catOut_ != nullptr && !catFound_ && SamePath(catPath_, found.Path);
  catFound_ = catFound_ || catting_;
}

void Listing::FileBytes(const std::uint8_t* data, std::size_t size) {
  if ((hashes_.md5 || hashes_.sha1 || hashes_.sha256) && keepItems && !open_.empty()) {
    // Pieces that follow each other in the image are one.
    if (!pieces_.empty() && items[open_.back()].endPiece == pieces_.size() &&
        items[open_.back()].firstPiece < pieces_.size() && (pieces_.back().data == nullptr) == (data == nullptr) &&
        (data == nullptr || pieces_.back().data + pieces_.back().size == data)) {
      pieces_.back().size += size;
    } else {
      pieces_.push_back({data, size});
      items[open_.back()].endPiece = pieces_.size();
    }
  }
  if (catting_) {
    static constexpr std::uint8_t kZeros[4096] = {};
    for (std::size_t done = 0; done < size;) {
      const std::size_t piece = data != nullptr ? size : std::min(size - done, sizeof kZeros);
      if (std::fwrite(data != nullptr ? data : kZeros, 1, piece, catOut_) != piece) {
        catting_ = false;  // the reader went away; the run's end reports it
        break;
      }
      done += piece;
    }
  }
  if (progress_ != nullptr) progress_->More(size);
}

void Listing::Cluster(std::uint16_t cluster, std::uint32_t offset, std::uint32_t fatEntry, bool lost) {
  if (open_.empty()) return;
  Item& item = items[open_.back()];
  ++item.clusters;
  if (keepClusters) {
    const std::uint32_t bytes = partitions.empty() ? 0 : partitions.back().found.ClusterBytes;
    item.places.push_back({.Cluster = cluster, .Offset = offset, .Bytes = bytes, .FatEntry = fatEntry});
  }
  if (lost) item.lostClusters.push_back(cluster);
}

void Listing::ChainLoop(std::uint16_t cluster) {
  if (!open_.empty()) items[open_.back()].loopAt = cluster;
}

void Listing::Finished(std::size_t index) {
  anyIncomplete = anyIncomplete || !items[index].Complete();
  // Items end in the order opposite to their beginning: a finished one is last.
  if (!keepItems && index + 1 == items.size()) items.pop_back();
}

void Listing::ItemEnd(std::uint32_t written) {
  if (open_.empty()) return;
  const std::size_t index = open_.back();
  open_.pop_back();
  Item& item = items[index];
  if (item.found.Directory) {
    Finished(index);
    return;
  }
  item.written = written;
  catting_ = false;
  ++filesWritten;
  if (progress_ != nullptr) progress_->File();
  Finished(index);
}

void Listing::HashFiles(std::size_t from, std::size_t to) {
  auto digest = [&](platform::HashKind kind, const Item& item) {
    platform::Hasher hasher(kind);
    for (std::size_t p = item.firstPiece; p < item.endPiece; ++p) hasher.Update(pieces_[p].data, pieces_[p].size);
    return hasher.HexDigest();
  };
  for (std::size_t i = from; i < to && i < items.size(); ++i) {
    Item& item = items[i];
    if (item.found.Directory || !item.skipped.empty()) continue;
    if (hashes_.md5) item.md5 = digest(platform::HashKind::Md5, item);
    if (hashes_.sha1) item.sha1 = digest(platform::HashKind::Sha1, item);
    if (hashes_.sha256) item.sha256 = digest(platform::HashKind::Sha256, item);
  }
}

void Listing::ItemSkipped(const ItemFound& found, std::string_view why) {
  Add(found).skipped = why;
  Finished(items.size() - 1);
}

void Listing::Warning(std::string_view line) {
  warnings.emplace_back(line);
  if (progress_ != nullptr) progress_->Clear();
  if (warningsOut != nullptr) (void)platform::WriteText(warningsOut, std::string(line) + "\n");
}

namespace {

// The names of a path, empty ones (doubled or leading separators) left out.
std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t from = 0;
  while (from <= path.size()) {
    const std::size_t end = std::min(path.find_first_of("/\\", from), path.size());
    if (end > from) parts.push_back(path.substr(from, end - from));
    from = end + 1;
  }
  return parts;
}

}  // namespace

bool SamePath(std::string_view asked, std::string_view path) {
  const auto want = Components(asked);
  const auto have = Components(path);
  if (want.empty()) return false;
  // Whole, or without the extraction folder's own name ("_name.raw").
  return want == have || (have.size() == want.size() + 1 && std::equal(want.begin(), want.end(), have.begin() + 1));
}

}  // namespace quillex::cli
