// File extraction: a file's cluster chain, cut to its recorded size.
#include <algorithm>
#include <utility>

#include "base/errors.h"
#include "base/gather.h"
#include "base/hex.h"
#include "base/paths.h"
#include "fat/fat.h"

namespace quillex {
namespace {

// One file being written: its pieces are gathered into few write calls.
// The listener sees the same bytes; a run that only lists has no file.
class FileSink {
 public:
  FileSink(platform::File file, std::string name, Findings& report)
      : file_(std::move(file)), name_(std::move(name)), out_(file_), report_(report) {}

  // size bytes from data, or zeros when data is null.
  void Append(const std::uint8_t* data, std::size_t size) {
    report_.FileBytes(data, size);
    if (!file_.IsOpen()) return;
    if (auto st = out_.Add(data, size); !st.ok()) Failed("write", st);
  }

  // Writes out what is gathered, gives the file its times (what the
  // system cannot set is left as it is) and closes it.
  void Close(const platform::FileTimes& times) {
    if (!file_.IsOpen()) return;
    if (auto st = out_.Flush(); !st.ok()) Failed("write", st);
    (void)platform::SetTimes(file_, times);
    if (auto st = platform::Close(file_); !st.ok()) Failed("close", st);
  }

 private:
  [[noreturn]] void Failed(const char* what, const platform::Status& st) const {
    throw IoFailure(std::string("cannot ") + what + " " + name_ + ": " + st.Reason());
  }

  platform::File file_;
  std::string name_;
  GatherWriter out_;
  Findings& report_;
};

// What one file has written so far, against the size its entry records.
struct Progress {
  std::uint32_t size;
  std::uint32_t written = 0;
  std::uint32_t Left() const { return size - written; }
};

// One cluster of the file: its data up to the size, or zeros for a cluster
// that has none in the image. Returns false for such a lost cluster.
bool TakeCluster(const RawImageState& s, FatWalk& w, FileSink& sink, Progress& p, std::uint16_t m,
                 const std::string& full) {
  const std::uint32_t count = std::min(p.Left(), w.volume.ClusterBytes);
  const std::uint32_t x = ClusterOffset(w.volume, m);
  if (!ClusterHasData(s, w.volume, x)) {
    // A cluster with no data in the image keeps its place as zeros.
    Warn(w.out, "Found lost cluster " + HexWord(m) + " in file: " + full);
    w.out.Report->Cluster(m, x, FatEntryOffset(w.volume, m), true);
    sink.Append(nullptr, count);
    p.written += count;
    return false;
  }
  w.out.Report->Cluster(m, x, FatEntryOffset(w.volume, m), false);
  s.FsImage.ForEachPiece(x, count, [&](const std::uint8_t* data, std::size_t n) { sink.Append(data, n); });
  p.written += count;
  return true;
}

// A live file: its chain through the FAT. Clusters past the size are still
// logged, but add nothing.
void FollowChain(const RawImageState& s, FatWalk& w, FileSink& sink, Progress& p, std::uint16_t m,
                 const std::string& full) {
  const std::uint32_t stamp = ++w.chainStamp;
  while (true) {
    if (w.chainMark[m] == stamp) {
      Warn(w.out, "WARNING: loop in cluster chain at $" + HexWord(m) + ": " + full);
      w.out.Report->ChainLoop(m);
      return;
    }
    w.chainMark[m] = stamp;
    const bool found = TakeCluster(s, w, sink, p, m, full);
    const std::uint16_t next = NextCluster(s, w.volume, m);
    if (found) w.out.LogFile.Line("[CLUSTER] " + HexWord(m) + " points to: " + HexWord(next));
    if (EndsChain(w.volume.ParType, next)) return;
    m = next;
  }
}

// A deleted file: deleting freed its chain, so its data is taken as FAT
// undelete tools take it: the first cluster, then the free clusters after it
// in ascending order, passing over clusters in use since, until the size is
// reached. The search ends at the volume's last cluster, and at the first
// cluster that has no data in the image: past it, cluster numbers of the
// phone's layout wrap round to the blocks at the image's start, which hold
// no file data.
void GatherFreeClusters(const RawImageState& s, FatWalk& w, FileSink& sink, Progress& p, std::uint16_t first,
                        const std::string& full) {
  auto take = [&](std::uint16_t m) {
    if (TakeCluster(s, w, sink, p, m, full)) {
      w.out.LogFile.Line("[CLUSTER] " + HexWord(m) + " points to: " + HexWord(NextCluster(s, w.volume, m)));
    }
  };
  take(first);
  const std::uint32_t last = LastCluster(w.volume);
  for (std::uint32_t m = std::max<std::uint32_t>(first + 1u, 2); m <= last && p.Left() > 0; ++m) {
    const auto cluster = static_cast<std::uint16_t>(m);
    if (!ClusterHasData(s, w.volume, ClusterOffset(w.volume, cluster))) break;
    if (NextCluster(s, w.volume, cluster) != 0) continue;
    take(cluster);
  }
}

}  // namespace

bool SaveFile(const RawImageState& s, FatWalk& w, const ItemFound& item, const platform::FileTimes& times) {
  const std::string& full = item.Path;
  platform::File file;
  if (!w.out.ListOnly) {
    if (auto st = platform::CreateFile(full, file); !st.ok()) {
      if (!IsNameFault(st)) throw IoFailure("cannot create " + full + ": " + st.Reason());
      ReportCannotCreate(w.out, full, st);
      w.out.Report->ItemSkipped(item, "cannot create");
      return false;
    }
  }
  w.out.Report->ItemBegin(item);
  FileSink sink(std::move(file), full, *w.out.Report);
  Progress progress{item.Size};
  if (w.volume.FromBootSector && item.FirstCluster < 2 && item.Size == 0) {
    // An empty file: no chain to follow.
  } else if (item.Deleted) {
    GatherFreeClusters(s, w, sink, progress, item.FirstCluster, full);
  } else {
    FollowChain(s, w, sink, progress, item.FirstCluster, full);
  }
  if (progress.written < item.Size) {
    Warn(w.out, "WARNING: file shorter than its size ($" + HexDword(progress.written) + " of $" +
                    HexDword(item.Size) + " bytes): " + full);
  }
  sink.Close(times);
  ++w.volume.FilesSaved;
  w.out.Report->ItemEnd(progress.written);
  return true;
}

}  // namespace quillex
