// File extraction: a file's cluster chain, cut to its recorded size.
#include <utility>

#include "driver/errors.h"
#include "driver/gather.h"
#include "driver/hex.h"
#include "driver/paths.h"
#include "fat/fat.h"

namespace quillex {
namespace {

// One file being written: its pieces are gathered into few write calls.
class FileSink {
 public:
  FileSink(platform::File file, std::string name)
      : file_(std::move(file)), name_(std::move(name)), out_(file_) {}

  // size bytes from data, or zeros when data is null.
  void Append(const std::uint8_t* data, std::size_t size) {
    if (auto st = out_.Add(data, size); !st.ok()) Failed("write", st);
  }

  void Close() {
    if (auto st = out_.Flush(); !st.ok()) Failed("write", st);
    if (auto st = platform::Close(file_); !st.ok()) Failed("close", st);
  }

 private:
  [[noreturn]] void Failed(const char* what, const platform::Status& st) const {
    throw IoFailure(std::string("cannot ") + what + " " + name_ + ": " + st.Reason());
  }

  platform::File file_;
  std::string name_;
  GatherWriter out_;
};

}  // namespace

void SaveFile(RunState& s, FatWalk& w, std::uint16_t firstCluster, std::uint32_t size,
              const std::string& path, const std::string& name) {
  const std::string full = path + platform::kSeparator + name;
  platform::File file;
  if (auto st = platform::CreateFile(full, file); !st.ok()) {
    if (!IsNameFault(st)) throw IoFailure("cannot create " + full + ": " + st.Reason());
    ReportCannotCreate(s, full, st);
    return;
  }
  FileSink sink(std::move(file), full);

  const std::uint32_t blockSize = s.FsBlockSize;
  std::uint32_t accounted = 0;
  const std::uint32_t stamp = ++w.chainStamp;
  std::uint16_t m = firstCluster;
  while (true) {
    if (w.chainMark[m] == stamp) {
      s.Console.Line("WARNING: loop in cluster chain at $" + HexWord(m) + ": " + full);
      break;
    }
    w.chainMark[m] = stamp;
    const std::uint32_t x = ClusterOffset(s, w.entry, m);
    if (x == 0 || !s.FsImage.InBounds(x, blockSize)) {
      // A cluster with no data in the image keeps its place as zeros.
      s.Console.Line("Found lost cluster " + HexWord(m) + " in file: " + full);
      sink.Append(nullptr, blockSize);
      accounted += blockSize;
      m = NextCluster(s, w.entry, m);
      if (EndsChain(w.parType, m)) break;
      continue;
    }
    // Once more is accounted than the size, the difference wraps and every
    // further cluster of the chain is written whole.
    const auto count = MinInt64(std::int64_t{size - accounted}, std::int64_t{blockSize});
    s.FsImage.ForEachPiece(x, static_cast<std::uint64_t>(count),
                           [&](const std::uint8_t* data, std::size_t n) { sink.Append(data, n); });
    accounted += blockSize;
    std::string line = "[CLUSTER] " + HexWord(m);
    m = NextCluster(s, w.entry, m);
    s.LogFile.Line(line + " points to: " + HexWord(m));
    if (EndsChain(w.parType, m)) break;
  }
  sink.Close();
  ++s.FilesSaved;
}

}  // namespace quillex
