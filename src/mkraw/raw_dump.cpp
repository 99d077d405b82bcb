// Level 1 of the writer: explicit segments to the bytes of a dump file (FS
// description block, spare areas after every page, gaps between segments).
#include <algorithm>
#include <numeric>
#include <optional>
#include <stdexcept>

#include "mkraw/format.h"
#include "mkraw/mkraw.h"

namespace quillex::mkraw {

using namespace format;

namespace {

struct PageGeometry {
  std::size_t data;
  std::size_t spare;
};

std::optional<PageGeometry> PagesOf(std::uint32_t pageType) {
  if (pageType == kPageTypeSmall) return PageGeometry{0x200, 0x10};
  if (pageType == kPageTypeLarge) return PageGeometry{0x800, 0x40};
  return std::nullopt;
}

std::uint32_t EndOf(const RawSegment& segment) {
  // Unsigned wrap on purpose: an empty segment at 0 ends at 0xFFFFFFFF.
  return segment.end.value_or(segment.start + SegmentFileLength(segment) - 1u);
}

Bytes DescriptionBlock(const RawDumpSpec& plan, const std::vector<RawSegment>& segments) {
  Bytes block(kRecords + kRecordSize * segments.size(), 0);
  StoreU16(block, kMarker, plan.marker);
  StoreU16(block, kVersion, plan.version);
  StoreU16(block, kSegmentCount,
           plan.segmentCount.value_or(static_cast<std::uint16_t>(segments.size())));
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const RawSegment& segment = segments[i];
    const std::size_t record = kRecords + kRecordSize * i;
    StoreU32(block, record + kRecordStart, segment.start);
    StoreU32(block, record + kRecordEnd, EndOf(segment));
    StoreU32(block, record + kRecordErase, segment.erase);
    StoreU32(block, record + kRecordFsBlockSize, segment.fsBlockSize);
    StoreU32(block, record + kRecordPageType, segment.pageType);
  }
  return block;
}

void AppendSegment(Bytes& file, const RawSegment& segment, std::uint8_t spareFill) {
  const std::uint8_t* data = segment.data.data();
  const std::size_t size = segment.data.size();
  const auto geometry = PagesOf(segment.pageType);
  if (!geometry) {
    file.insert(file.end(), data, data + size);
    return;
  }
  for (std::size_t at = 0; at < size; at += geometry->data) {
    const std::size_t taken = std::min(geometry->data, size - at);
    file.insert(file.end(), data + at, data + at + taken);
    file.insert(file.end(), geometry->data - taken, std::uint8_t{0xFF});  // erased tail of a partial page
    file.insert(file.end(), geometry->spare, spareFill);
  }
}

}  // namespace

std::uint32_t SegmentFileLength(const RawSegment& segment) {
  std::size_t length = segment.data.size();
  if (const auto geometry = PagesOf(segment.pageType)) {
    length = CeilDiv(length, geometry->data) * (geometry->data + geometry->spare);
  }
  return static_cast<std::uint32_t>(length);
}

Bytes WriteRawDump(const RawDumpSpec& plan) {
  std::vector<RawSegment> segments = plan.segments;
  // The tool orders the records by start, keeping file order for equal starts.
  std::vector<std::size_t> order(segments.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return segments[a].start < segments[b].start;
  });

  Bytes file;
  if (plan.writeHeader) {
    const std::size_t headerSize = kRecords + kRecordSize * segments.size();
    if (segments.empty()) {
      file = DescriptionBlock(plan, segments);
    } else {
      RawSegment& first = segments[order.front()];
      if (first.data.size() < headerSize) first.data.resize(headerSize, 0);
      if (const auto geometry = PagesOf(first.pageType); geometry && headerSize > geometry->data) {
        throw std::invalid_argument("FS description block larger than the first page");
      }
      // Ends depend on the lengths only, so the block can be made now.
      const Bytes header = DescriptionBlock(plan, segments);
      std::copy(header.begin(), header.end(), first.data.begin());
    }
  }

  for (std::size_t i = 0; i < order.size(); ++i) {
    const RawSegment& segment = segments[order[i]];
    AppendSegment(file, segment, plan.spareFill);
    if (i + 1 == order.size()) break;
    const std::int64_t gap = std::int64_t{segments[order[i + 1]].start} -
                             std::int64_t{EndOf(segment)} - 1;
    if (gap > 0) file.insert(file.end(), static_cast<std::size_t>(gap), plan.gapFill);
  }

  if (plan.truncateTo && *plan.truncateTo < file.size()) file.resize(*plan.truncateTo);
  return file;
}

}  // namespace quillex::mkraw
