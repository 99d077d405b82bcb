// The load pass: every segment into RawImage, NAND spare areas stripped in
// place, then the log file.
#include <cstdint>
#include <cstring>

#include "base/errors.h"
#include "base/hex.h"
#include "rawimage/rawimage.h"

namespace quillex {
namespace {

constexpr const char* kReadFailed = "Fatal error while BlockRead! Check filename and disk space";

// Room after the file's bytes: a page that the read delivered only partly is
// still moved whole, which can reach up to one page of data past the end.
constexpr std::uint32_t kRawSlack = 2048;

// What the console says as a paged segment is stripped.
const char* Announcement(std::uint32_t pageType) {
  return pageType == kPageTypeSmall ? "Rebuilding NAND segment. PageData: $200, PageSpare: $10..."
                                    : "Rebuilding NAND segment. PageData: $800, PageSpare: $40...";
}

// After a stripped segment, every byte of RawImage from the end of its data up
// to EntrySize - 1 reads as 0xFF. Filling that tail again after every segment
// would rewrite most of the buffer each time, so the fill is kept pending:
// [ffFrom, limit) holds 0xFF in meaning, and is written out only where a later
// step reads it, and once at the end.
class PendingFill {
 public:
  explicit PendingFill(std::uint32_t limit) : limit_(limit), ffFrom_(limit) {}

  // Bytes about to be read (by a page move) must hold their real value.
  void Materialise(std::uint8_t* buffer, std::uint64_t upTo) {
    const std::uint64_t end = upTo < limit_ ? upTo : limit_;
    if (ffFrom_ < end) {
      std::memset(buffer + ffFrom_, 0xFF, static_cast<std::size_t>(end - ffFrom_));
      ffFrom_ = end;
    }
  }
  // Data was written over [.., end): the pending fill starts after it.
  void DataUpTo(std::uint64_t end) {
    if (ffFrom_ < end) ffFrom_ = end < limit_ ? end : limit_;
  }
  // A stripped segment ended at `from`: from there on everything is 0xFF.
  void FillFrom(std::uint64_t from) { ffFrom_ = from < limit_ ? from : limit_; }

  void Finish(std::uint8_t* buffer) { Materialise(buffer, limit_); }

 private:
  std::uint64_t limit_;
  std::uint64_t ffFrom_;
};

}  // namespace

std::uint32_t StripSpareAreas(std::span<std::uint8_t> buffer, std::size_t at, std::uint32_t got,
                              std::uint32_t dataSize, std::uint32_t pageSize) {
  std::uint8_t* base = buffer.data() + at;
  std::uint64_t src = 0;
  std::uint64_t dst = 0;
  // At least one page is moved, even when the read delivered nothing.
  do {
    if (src != dst) std::memmove(base + dst, base + src, dataSize);
    src += pageSize;
    dst += dataSize;
  } while (src < got);
  return static_cast<std::uint32_t>(dst);
}

void LoadSegments(RunOutput& out, RawImageState& s) {
  out.Console.Line("Loading entry file " + s.EntryName + " to memory...");
  out.Console.Line("Alloc read buffer...");

  platform::File file;
  if (auto st = platform::OpenForReading(DumpFile(s), file); !st.ok()) {
    throw IoFailure("cannot open " + s.EntryName + ": " + st.Reason());
  }
  // On a 32-bit system the size need not fit a size_t; such a dump could not
  // be held there anyway.
  const std::uint64_t rawBytes = std::uint64_t{s.EntrySize} + kRawSlack;
  if (rawBytes != static_cast<std::size_t>(rawBytes)) {
    throw IoFailure("cannot allocate " + std::to_string(rawBytes) + " bytes for the raw image: out of memory");
  }
  s.RawImage = ZeroedBuffer(static_cast<std::size_t>(rawBytes), "raw image");
  s.RawLength = 0;

  std::uint8_t* raw = s.RawImage.data();
  PendingFill fill(s.EntrySize);
  std::uint32_t consumed = 0;  // bytes of the file read or skipped so far
  s.SegmentPlaces.clear();
  out.Report->Stage("reading the dump", s.EntrySize);

  for (std::size_t i = 0; i < s.SegmentTable.size(); ++i) {
    const SegmentRecord& seg = s.SegmentTable[i];
    const std::uint32_t length = seg.End - seg.Start + 1;
    out.Console.Write("Loading seg0" + std::to_string(i) + "[$" + HexDword(length) + "]...");

    const std::uint32_t want = std::min(length, s.EntrySize - s.RawLength);
    std::size_t got = 0;
    if (!platform::ReadFully(file, raw + s.RawLength, want, got).ok()) FatalIo(out.Console, kReadFailed);
    consumed += static_cast<std::uint32_t>(got);
    out.Report->Advance(consumed);

    std::uint32_t kept = static_cast<std::uint32_t>(got);
    SegmentPlace place{.RawStart = s.RawLength, .FileStart = consumed - got, .Read = static_cast<std::uint32_t>(got)};
    if (const PageGeometry g = PagesOf(seg.PageType); g.Paged()) {
      place.DataSize = g.Data;
      place.PageSize = g.Page;
      out.Console.Write(Announcement(seg.PageType));
      const std::uint64_t pages = got == 0 ? 1 : (got + g.Page - 1) / g.Page;
      fill.DataUpTo(std::uint64_t{s.RawLength} + got);
      fill.Materialise(raw, s.RawLength + pages * g.Page);
      kept = StripSpareAreas(s.RawImage.span(), s.RawLength, kept, g.Data, g.Page);
      fill.FillFrom(std::uint64_t{s.RawLength} + kept);
    } else {
      fill.DataUpTo(std::uint64_t{s.RawLength} + got);
    }
    place.Kept = kept;
    s.SegmentPlaces.push_back(place);
    s.RawLength += kept;
    out.Console.Line("$" + HexDword(kept) + " bytes");

    if (s.RawLength >= s.EntrySize) break;
    if (i + 1 < s.SegmentTable.size()) {
      // The gap is measured from where this read stopped in the file: the
      // spare bytes stripped from memory were still read from it.
      const std::uint32_t gap = s.SegmentTable[i + 1].Start - seg.End - 1;
      const std::uint32_t next = consumed + gap;
      if (next <= s.EntrySize) {
        out.Console.Line("Skiping $" + HexDword(gap));
        if (auto st = platform::SetPosition(file, next); !st.ok()) {
          throw IoFailure("cannot set the position in " + s.EntryName + ": " + st.Reason());
        }
        consumed = next;
      }
    }
  }
  fill.Finish(raw);

  if (auto st = platform::Close(file); !st.ok()) {
    throw IoFailure("cannot close " + s.EntryName + ": " + st.Reason());
  }
  out.Console.Line("OK! Read " + HexDword(s.RawLength) + " bytes");

  if (!out.ListOnly) {
    platform::File log;
    if (!platform::CreateFile(s.EntryName + ".log", log).ok()) {
      FatalIo(out.Console, "Fatal error while creating log! Check filename and disk space");
    }
    out.LogFile.AttachFile(std::move(log), s.EntryName + ".log");
  }

  s.RawBlockCount = s.RawLength / s.FsBlockSize;
  out.Console.Line("RAW image contain: $" + HexDword(s.RawBlockCount) + " fs_block(s)");
}

}  // namespace quillex
