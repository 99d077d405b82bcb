// The header pass: FS description block and segment table.
#include <algorithm>

#include "driver/errors.h"
#include "driver/hex.h"
#include "rawimage/rawimage.h"

namespace quillex {
namespace {

constexpr const char* kReadFailed = "Fatal error while BlockRead! Check filename and disk space";

bool SupportedFsBlockSize(std::uint32_t size) {
  return size >= 512 && size <= 65536 && size % 512 == 0;
}

}  // namespace

void LoadRawHeader(RunState& s) {
  s.Console.Write("Loading " + s.EntryName + " header...");
  s.RawImage = ZeroedBuffer(kHeaderBytes, "header buffer");

  platform::File file;
  if (auto st = platform::OpenForReading(s.EntryName, file); !st.ok()) {
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
  if (!platform::ReadFully(file, s.RawImage.data(), kHeaderBytes, got).ok()) Fatal(s, kReadFailed);

  if (s.RawImage.data()[0] == 0xBA && s.RawImage.data()[1] == 0xBE) {
    s.Console.Line("ERROR: entry file have BABE-firmware format.");
    Fatal(s, "Use vornak.exe tool first");
  }
  s.Console.Line("OK!");

  if (RawWord(s, kDescMarker) != kDescMarkerValue) {
    Fatal(s, "FATAL: No FS description block found @ $00000000");
  }
  s.FsVersion = RawWord(s, kDescVersion);
  s.Console.Line("Detected FS image version: " + std::to_string(s.FsVersion));
  if (s.FsVersion != kSupportedVersion) {
    Fatal(s, "FATAL: This version is not supported. Check entry file!");
  }

  s.SegmentCount = RawWord(s, kDescSegmentCount);
  s.Console.Line("Number of fs_segmments: " + HexWord(s.SegmentCount));
  if (s.SegmentCount > kMaxSegments) {
    Fatal(s, "FATAL: More than 10 fs_segments are not supported. Check entry file!");
  }

  s.SegmentTable.assign(s.SegmentCount, SegmentRecord{});
  for (std::uint32_t i = 0; i < s.SegmentCount; ++i) {
    const std::uint32_t rec = kDescRecords + kRecordSize * i;
    SegmentRecord& r = s.SegmentTable[i];
    r.Start = RawDword(s, rec + kRecStart);
    r.End = RawDword(s, rec + kRecEnd);
    r.FsBlockSize = RawDword(s, rec + kRecFsBlockSize);
    r.PageType = RawDword(s, rec + kRecPageType);
    // Size in MiB as the listing has always shown it: wraps for end < start.
    const std::uint32_t mib = ((r.End - r.Start) >> 20) + 1;
    s.Console.Line("seg0" + std::to_string(i) + ": $" + HexDword(r.Start) + "-$" + HexDword(r.End) +
                   " (" + std::to_string(mib) + "Mb) erase: $" +
                   HexDword(RawDword(s, rec + kRecErase)) + " fs_block: $" +
                   HexWord(r.FsBlockSize) + " type: $" + HexWord(r.PageType));
    if (i == 0) s.FsBlockSize = r.FsBlockSize;
    if (r.FsBlockSize == 0) s.Console.Line("WARNING: Invalid fs_block size. Use default");
  }

  // Ascending start; equal starts keep their file order.
  std::stable_sort(s.SegmentTable.begin(), s.SegmentTable.end(),
                   [](const SegmentRecord& a, const SegmentRecord& b) { return a.Start < b.Start; });

  if (s.FsBlockSize == 0) s.FsBlockSize = kDefaultFsBlockSize;
  s.Console.Line("Using fs_block size: $" + HexWord(s.FsBlockSize));
  // Every later stage divides by it, counts 512-byte sectors in it and reads
  // 4-byte map entries from offset 24 up to its end.
  if (!SupportedFsBlockSize(s.FsBlockSize)) {
    Fatal(s, "FATAL: Unsupported fs_block size. Check entry file!");
  }

  s.RawImage.release();
  if (auto st = platform::Close(file); !st.ok()) {
    throw IoFailure("cannot close " + s.EntryName + ": " + st.Reason());
  }
}

}  // namespace quillex
