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

platform::FileTimes TimesOf(const ItemFound& entry) {
  platform::FileTimes times;
  times.hasModified = DecodeFatTime(entry.WrittenDate, entry.WrittenTime, times.modified);
  // The last access is kept as a date only; none recorded reads as the
  // last write, as FAT drivers show it.
  if (entry.AccessedDate == 0) {
    times.hasAccessed = times.hasModified;
    times.accessed = times.modified;
  } else {
    times.hasAccessed = DecodeFatTime(entry.AccessedDate, 0, times.accessed);
  }
  times.hasCreated = DecodeFatTime(entry.CreatedDate, entry.CreatedTime, times.created);
  // Up to 1.99 s more than the 2-second time, in 10 ms steps.
  if (times.hasCreated && entry.CreatedCentis < 200) {
    times.created.second += entry.CreatedCentis / 100;
    times.created.centiseconds = entry.CreatedCentis % 100;
  }
  return times;
}

platform::FileTimes EntryTimes(const RawImageState& s, std::uint64_t entry) {
  ItemFound stamps;
  stamps.WrittenDate = FsWord(s, entry + kDirWrittenDate);
  stamps.WrittenTime = FsWord(s, entry + kDirWrittenTime);
  stamps.AccessedDate = FsWord(s, entry + kDirAccessedDate);
  stamps.CreatedDate = FsWord(s, entry + kDirCreatedDate);
  stamps.CreatedTime = FsWord(s, entry + kDirCreatedTime);
  stamps.CreatedCentis = FsByte(s, entry + kDirCreatedCentis);
  return TimesOf(stamps);
}

}  // namespace quillex
