// The dates and times of a directory entry, as local times for the files
// and folders made from it.
#include "fat/fat.h"

namespace quillex {
namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool DecodeFatTime(std::uint16_t date, std::uint16_t time, platform::LocalTime& out) {
  // date: bits 15-9 years since 1980, 8-5 month, 4-0 day
  // time: bits 15-11 hour, 10-5 minute, 4-0 seconds / 2
  platform::LocalTime t;
  t.year = 1980 + (date >> 9);
  t.month = date >> 5 & 0x0F;
  t.day = date & 0x1F;
  t.hour = time >> 11;
  t.minute = time >> 5 & 0x3F;
  t.second = 2 * (time & 0x1F);
  if (date == 0 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) ||
      t.hour > 23 || t.minute > 59 || t.second > 59) {
    return false;
  }
  out = t;
  return true;
}

platform::FileTimes EntryTimes(const RawImageState& s, std::uint64_t entry) {
  platform::FileTimes times;
  times.hasModified = DecodeFatTime(FsWord(s, entry + kDirWrittenDate), FsWord(s, entry + kDirWrittenTime),
                                    times.modified);
  // The last access is kept as a date only; none recorded reads as the
  // last write, as FAT drivers show it.
  const std::uint16_t accessed = FsWord(s, entry + kDirAccessedDate);
  if (accessed == 0) {
    times.hasAccessed = times.hasModified;
    times.accessed = times.modified;
  } else {
    times.hasAccessed = DecodeFatTime(accessed, 0, times.accessed);
  }
  times.hasCreated = DecodeFatTime(FsWord(s, entry + kDirCreatedDate), FsWord(s, entry + kDirCreatedTime),
                                   times.created);
  // Up to 1.99 s more than the 2-second time, in 10 ms steps.
  const std::uint8_t centis = FsByte(s, entry + kDirCreatedCentis);
  if (times.hasCreated && centis < 200) {
    times.created.second += centis / 100;
    times.created.centiseconds = centis % 100;
  }
  return times;
}

}  // namespace quillex
