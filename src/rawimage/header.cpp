// The header pass: FS description block and segment table.
#include <algorithm>

#include "base/errors.h"
#include "base/hex.h"
#include "rawimage/rawimage.h"

namespace quillex {
namespace {

constexpr const char* kReadFailed = "Fatal error while BlockRead! Check filename and disk space";

bool SupportedFsBlockSize(std::uint32_t size) {
  return size >= 512 && size <= 65536 && size % 512 == 0;
}

}  // namespace

void LoadRawHeader(RunOutput& out, RawImageState& s) {
  out.Console.Write("Loading " + s.EntryName + " header...");
  // The head of the dump, in a buffer of its own: RawImage gets its full
  // size only when the segments are loaded.
  ZeroedBuffer head(kHeaderBytes, "header buffer");

  platform::File file;
  if (auto st = platform::OpenForReading(DumpFile(s), file); !st.ok()) {
    throw IoFailure("cannot open " + s.EntryName + ": " + st.Reason());
  }
  std::uint64_t size = 0;
  if (auto st = platform::FileSize(file, size); !st.ok()) {
    throw IoFailure("cannot take the size of " + s.EntryName + ": " + st.Reason());
  }
  if (size > UINT32_MAX) {
    throw IoFailure("cannot load " + s.EntryName + ": dumps of 4 GiB or more are not supported");
  }
  s.EntrySize = static_cast<std::uint32_t>(size);

  std::size_t got = 0;
  if (!platform::ReadFully(file, head.data(), kHeaderBytes, got).ok()) {
    FatalIo(out.Console, kReadFailed);
  }

  if (head.data()[0] == 0xBA && head.data()[1] == 0xBE) {
    Warn(out, "ERROR: entry file have BABE-firmware format.");
    Fatal(out.Console, "Use vornak.exe tool first");
  }
  out.Console.Line("OK!");

  if (LoadWord(head.view(), kDescMarker) != kDescMarkerValue) {
    Fatal(out.Console, "FATAL: No FS description block found @ $00000000");
  }
  s.FsVersion = LoadWord(head.view(), kDescVersion);
  out.Console.Line("Detected FS image version: " + std::to_string(s.FsVersion));
  if (s.FsVersion != kSupportedVersion) {
    Fatal(out.Console, "FATAL: This version is not supported. Check entry file!");
  }

  s.SegmentCount = LoadWord(head.view(), kDescSegmentCount);
  out.Console.Line("Number of fs_segmments: " + HexWord(s.SegmentCount));
  if (s.SegmentCount > kMaxSegments) {
    Fatal(out.Console, "FATAL: More than 10 fs_segments are not supported. Check entry file!");
  }

  s.SegmentTable.assign(s.SegmentCount, SegmentRecord{});
  for (std::uint32_t i = 0; i < s.SegmentCount; ++i) {
    const std::uint32_t rec = kDescRecords + kRecordSize * i;
    SegmentRecord& r = s.SegmentTable[i];
    r.Start = LoadDword(head.view(), rec + kRecStart);
    r.End = LoadDword(head.view(), rec + kRecEnd);
    r.FsBlockSize = LoadDword(head.view(), rec + kRecFsBlockSize);
    r.PageType = LoadDword(head.view(), rec + kRecPageType);
    // Size in MiB as the listing has always shown it: wraps for end < start.
    const std::uint32_t mib = ((r.End - r.Start) >> 20) + 1;
    out.Console.Line("seg0" + std::to_string(i) + ": $" + HexDword(r.Start) + "-$" + HexDword(r.End) +
                   " (" + std::to_string(mib) + "Mb) erase: $" +
                   HexDword(LoadDword(head.view(), rec + kRecErase)) + " fs_block: $" +
                   HexWord(r.FsBlockSize) + " type: $" + HexWord(r.PageType));
    if (i == 0) s.FsBlockSize = r.FsBlockSize;
    if (r.FsBlockSize == 0) Warn(out, "WARNING: Invalid fs_block size. Use default");
  }

  // Ascending start; equal starts keep their file order.
  std::stable_sort(s.SegmentTable.begin(), s.SegmentTable.end(),
                   [](const SegmentRecord& a, const SegmentRecord& b) { return a.Start < b.Start; });

  if (s.FsBlockSize == 0) s.FsBlockSize = kDefaultFsBlockSize;
  out.Console.Line("Using fs_block size: $" + HexWord(s.FsBlockSize));
  // Every later stage divides by it, counts 512-byte sectors in it and reads
  // 4-byte map entries from offset 24 up to its end.
  if (!SupportedFsBlockSize(s.FsBlockSize)) {
    Fatal(out.Console, "FATAL: Unsupported fs_block size. Check entry file!");
  }

  if (auto st = platform::Close(file); !st.ok()) {
    throw IoFailure("cannot close " + s.EntryName + ": " + st.Reason());
  }
}

}  // namespace quillex
