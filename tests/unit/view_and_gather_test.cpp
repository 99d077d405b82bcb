// The image view (logical blocks read where they lie in the raw image) and
// the gathered writer that writes files from such scattered pieces.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/gather.h"
#include "base/buffers.h"
#include "base/platform.h"
#include "support/test_support.h"

namespace quillex {
namespace {

using test::Bytes;

Bytes Counting(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + 1);
  return b;
}

// The image a view stands for, byte by byte, from its definition: block b
// is source[place + i] where that exists, zero otherwise.
Bytes Expected(const Bytes& source, std::uint64_t blockSize, std::uint64_t size,
               const std::vector<std::uint64_t>& places) {
  Bytes image(size, 0);
  for (std::uint64_t o = 0; o < size; ++o) {
    const std::uint64_t p = places[o / blockSize];
    if (p != FsView::kNoSource && p + o % blockSize < source.size()) image[o] = source[p + o % blockSize];
  }
  return image;
}

// Everything ForEachPiece hands out for [offset, offset + count), zeros
// spelled out, with a check that no piece crosses a block.
Bytes Gathered(const FsView& view, std::uint64_t blockSize, std::uint64_t offset, std::uint64_t count) {
  Bytes out;
  std::uint64_t at = offset;
  view.ForEachPiece(offset, count, [&](const std::uint8_t* data, std::size_t n) {
    EXPECT_GT(n, 0u);
    EXPECT_EQ(at / blockSize, (at + n - 1) / blockSize) << "piece at " << at << " crosses a block";
    for (std::size_t i = 0; i < n; ++i) out.push_back(data == nullptr ? 0 : data[i]);
    at += n;
  });
  return out;
}

TEST(FsView, ReadsEveryByteWhereItsBlockIsPlaced) {
  const Bytes source = Counting(5000);
  constexpr std::uint64_t kBs = 512;
  constexpr std::uint64_t kSize = 8 * kBs + 100;  // a last block cut short
  // Blocks out of order, one twice, one never, one from past the source's
  // end, one straddling it, one at an offset that is no block boundary.
  std::vector<std::uint64_t> places = {1024, 0, FsView::kNoSource, 4900, 9000, 3, 1024, 4488, 2048};
  FsView view(source, kBs, kSize);
  for (std::uint64_t b = 0; b < places.size(); ++b) {
    if (places[b] != FsView::kNoSource) view.Place(b, places[b]);
  }
  view.Place(100, 0);  // outside the view: ignored
  const Bytes expected = Expected(source, kBs, kSize, places);
  for (std::uint64_t o = 0; o < kSize; ++o) ASSERT_EQ(view.Byte(o), expected[o]) << "byte " << o;
  EXPECT_EQ(view.Byte(kSize), 0);
  EXPECT_EQ(view.Byte(~std::uint64_t{0}), 0);

  const struct {
    std::uint64_t offset, count;
  } ranges[] = {{0, kSize}, {0, 1}, {511, 2}, {700, 1500}, {3 * kBs + 17, kBs}, {4000, kSize - 4000}, {kSize - 1, 1}};
  for (const auto& r : ranges) {
    EXPECT_EQ(Gathered(view, kBs, r.offset, r.count),
              Bytes(expected.begin() + static_cast<std::ptrdiff_t>(r.offset),
                    expected.begin() + static_cast<std::ptrdiff_t>(r.offset + r.count)))
        << "range " << r.offset << "+" << r.count;
  }
}

TEST(FsView, LaterPlaceReplacesEarlierAndBoundsAreTheSize) {
  const Bytes source = Counting(2048);
  FsView view(source, 1024, 2048 + 4 * 1024);
  view.Place(1, 0);
  view.Place(1, 1024);
  EXPECT_EQ(view.Byte(1024), source[1024]);
  EXPECT_EQ(view.Byte(0), 0);
  EXPECT_TRUE(view.InBounds(0, 6144));
  EXPECT_TRUE(view.InBounds(6144, 0));
  EXPECT_FALSE(view.InBounds(6143, 2));
  EXPECT_FALSE(view.InBounds(~std::uint64_t{0}, 2));
  EXPECT_EQ(view.Chars(1024, 3), std::string({static_cast<char>(source[1024]), static_cast<char>(source[1025]),
                                              static_cast<char>(source[1026])}));
  EXPECT_EQ(view.Chars(~std::uint64_t{0} - 1, 4), std::string(4, '\0'));
}

TEST(FsView, FlatIsTheBytesThemselvesAndEmptyReadsZero) {
  const Bytes source = Counting(3000);
  const FsView flat = FsView::Flat(source);
  EXPECT_EQ(flat.size(), 3000u);
  EXPECT_EQ(Gathered(flat, 3000, 0, 3000), source);
  EXPECT_EQ(flat.Byte(2999), source[2999]);
  const FsView empty;
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.Byte(0), 0);
  EXPECT_FALSE(empty.InBounds(0, 1));
  const FsView none = FsView::Flat({});
  EXPECT_EQ(none.Byte(0), 0);
}

// ---------------------------------------------------------------------------
// Gathered writes.

class Gather : public testing::Test {
 protected:
  std::string Path() const { return dir / "out.bin"; }
  test::TempDir dir;
};

TEST_F(Gather, ManySmallScatteredPiecesArriveInOrder) {
  // More pieces than one call takes and more bytes than one call writes,
  // with runs that lie back to back in memory (joined) and zero pieces.
  const Bytes source = Counting(1 << 20);
  Bytes expected;
  platform::File file;
  ASSERT_TRUE(platform::CreateFile(Path(), file).ok());
  {
    GatherWriter out(file);
    std::uint64_t x = 12345;
    for (int i = 0; i < 5000; ++i) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      const std::size_t at = (x >> 20) % (source.size() - 600);
      const std::size_t n = (x >> 8) % 600;
      if (i % 7 == 0) {
        ASSERT_TRUE(out.Add(nullptr, n).ok());
        expected.insert(expected.end(), n, 0);
        continue;
      }
      ASSERT_TRUE(out.Add(source.data() + at, n).ok());
      expected.insert(expected.end(), source.begin() + static_cast<std::ptrdiff_t>(at),
                      source.begin() + static_cast<std::ptrdiff_t>(at + n));
      if (i % 5 == 0) {  // the next bytes of the same run
        ASSERT_TRUE(out.Add(source.data() + at + n, 100).ok());
        expected.insert(expected.end(), source.begin() + static_cast<std::ptrdiff_t>(at + n),
                        source.begin() + static_cast<std::ptrdiff_t>(at + n + 100));
      }
    }
    ASSERT_TRUE(out.Add(nullptr, 200000).ok());  // zeros longer than the zero block
    expected.insert(expected.end(), 200000, 0);
    ASSERT_TRUE(out.Flush().ok());
  }
  ASSERT_TRUE(platform::Close(file).ok());
  ASSERT_GT(expected.size(), std::size_t{1} << 20);  // more than one call writes
  EXPECT_TRUE(test::ReadFile(Path()) == std::string(expected.begin(), expected.end()));
}

TEST_F(Gather, MoveToWritesRunsAtTheirOffsetsLeavingTheRestUntouched) {
  const Bytes source = Counting(10000);
  platform::File file;
  ASSERT_TRUE(platform::CreateFile(Path(), file).ok());
  // A background first, at the file position, then runs over it.
  Bytes background(12000, 0xEE);
  GatherWriter out(file);
  ASSERT_TRUE(out.Add(background.data(), background.size()).ok());
  ASSERT_TRUE(out.MoveTo(100).ok());
  ASSERT_TRUE(out.Add(source.data(), 50).ok());
  ASSERT_TRUE(out.Add(source.data() + 50, 50).ok());
  ASSERT_TRUE(out.MoveTo(5000).ok());
  ASSERT_TRUE(out.Add(nullptr, 10).ok());
  ASSERT_TRUE(out.Add(source.data() + 9000, 1000).ok());
  ASSERT_TRUE(out.Flush().ok());
  ASSERT_TRUE(platform::Close(file).ok());

  Bytes expected = background;
  std::copy(source.begin(), source.begin() + 100, expected.begin() + 100);
  std::fill(expected.begin() + 5000, expected.begin() + 5010, 0);
  std::copy(source.begin() + 9000, source.end(), expected.begin() + 5010);
  EXPECT_TRUE(test::ReadFile(Path()) == std::string(expected.begin(), expected.end()));
}

TEST_F(Gather, AFullDiskIsReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  platform::File file;
  ASSERT_TRUE(platform::CreateFile("/dev/full", file).ok());
  const Bytes source = Counting(4096);
  GatherWriter out(file);
  ASSERT_TRUE(out.Add(source.data(), 100).ok());  // collected, not yet written
  const platform::Status st = out.Flush();
  EXPECT_FALSE(st.ok());
  EXPECT_EQ(st.error, ENOSPC);
  EXPECT_TRUE(out.Add(source.data(), source.size()).ok());
  EXPECT_FALSE(out.Add(nullptr, 2u << 20).ok()) << "a flush on the way must report the failure";
}

}  // namespace
}  // namespace quillex
