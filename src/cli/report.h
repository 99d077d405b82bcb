// The texts quillex makes of a listing: what `info` shows, the lines and
// JSON objects of `ls`, the body file, and the report of an extraction.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/listing.h"
#include "rawimage/rawimage.h"

namespace quillex::cli {

using Json = nlohmann::ordered_json;

// The dump's make-up and what its partitions hold.
Json InfoJson(const RawImageState& image, const Listing& listing);
std::string InfoText(const RawImageState& image, const Listing& listing);

// One file or folder.
Json ItemJson(const Item& item);
// "r/r" or "d/d", "*" for a deleted entry, then the path (long: attributes,
// size and time of last write before it).
std::string ItemLine(const Item& item, bool longForm);
// MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime, times in
// seconds since 1970, as timeline tools read body files.
std::string BodyLine(const Item& item);

// FAT dates and times in ISO 8601 without a zone ("" when not valid).
std::string IsoDateTime(std::uint16_t date, std::uint16_t time, std::uint8_t centis);
std::string IsoDate(std::uint16_t date);

// Text as JSON takes it: invalid UTF-8 bytes become U+FFFD.
std::string JsonText(const Json& json);

}  // namespace quillex::cli
