// File extraction: a file's cluster chain, cut to its recorded size.
#include <array>
#include <utility>

#include "driver/errors.h"
#include "driver/hex.h"
#include "driver/paths.h"
#include "fat/fat.h"

namespace quillex {
namespace {

constexpr std::array<std::uint8_t, 65536> kZeroBlock{};  // the largest fs_block

// Writes the pieces of one file, joining pieces that lie back to back in the
// image into one write.
class FileSink {
 public:
  FileSink(platform::File file, std::string name) : file_(std::move(file)), name_(std::move(name)) {}

  void Append(const std::uint8_t* data, std::size_t count) {
    if (count == 0) return;
    if (pending_ != nullptr && pending_ + pendingCount_ == data) {
      pendingCount_ += count;
      return;
    }
    Flush();
    pending_ = data;
    pendingCount_ = count;
  }

  void Close() {
    Flush();
    if (auto st = platform::Close(file_); !st.ok()) {
      throw IoFailure("cannot close " + name_ + ": " + st.Reason());
    }
  }

 private:
  void Flush() {
    if (pendingCount_ == 0) return;
    if (auto st = platform::WriteAll(file_, pending_, pendingCount_); !st.ok()) {
      throw IoFailure("cannot write " + name_ + ": " + st.Reason());
    }
    pending_ = nullptr;
    pendingCount_ = 0;
  }

  platform::File file_;
  std::string name_;
  const std::uint8_t* pending_ = nullptr;
  std::size_t pendingCount_ = 0;
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

  const std::span<const std::uint8_t> image = s.FsImage.view();
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
    if (x == 0 || !InBounds(image, x, blockSize)) {
      // A cluster with no data in the image keeps its place as zeros.
      s.Console.Line("Found lost cluster " + HexWord(m) + " in file: " + full);
      sink.Append(kZeroBlock.data(), blockSize);
      accounted += blockSize;
      m = NextCluster(s, w.entry, m);
      if (EndsChain(w.parType, m)) break;
      continue;
    }
    // Once more is accounted than the size, the difference wraps and every
    // further cluster of the chain is written whole.
    const auto count = MinInt64(std::int64_t{size - accounted}, std::int64_t{blockSize});
    sink.Append(image.data() + x, static_cast<std::size_t>(count));
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
