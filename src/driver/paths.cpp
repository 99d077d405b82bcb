#include "driver/paths.h"

#include <cerrno>
#include <vector>

#include "driver/errors.h"

namespace quillex {

std::string SafeName(std::string_view name) {
  std::string safe(name);
  for (char& c : safe) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) c = '_';
  }
  return safe;
}

std::string UnitDirectory(const std::string& entryName, std::string_view mountPath) {
  std::string dir = "_" + entryName + platform::kSeparator;
  if (mountPath.empty()) return dir;
  std::string_view rest = mountPath.substr(1);
  bool first = true;
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (part != "." && part != "..") {
      if (!first) dir += platform::kSeparator;
      dir += SafeName(part);
      first = false;
    }
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
  return dir;
}

bool IsNameFault(const platform::Status& status) {
  switch (status.error) {
    case EEXIST:
    case EISDIR:
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
      return true;
    default:
      return false;
  }
}

void ReportCannotCreate(RunState& state, const std::string& path, const platform::Status& status) {
  state.Console.Line("ERROR: cannot create " + path + ": " + status.Reason());
}

namespace {

// One level; an existing directory is fine.
platform::Status MakeOne(const std::string& path) {
  platform::Status status = platform::MakeDirectory(path);
  if (status.error == EEXIST && platform::IsDirectory(path)) return {};
  return status;
}

}  // namespace

bool EnsureDirectory(RunState& state, const std::string& path, bool withParents) {
  if (withParents) {
    // Every proper prefix that ends before a separator, the doubled ones skipped.
    for (std::size_t at = path.find(platform::kSeparator, 1); at != std::string::npos;
         at = path.find(platform::kSeparator, at + 1)) {
      if (path[at - 1] == platform::kSeparator) continue;
      const std::string parent = path.substr(0, at);
      platform::Status status = MakeOne(parent);
      if (status.ok()) continue;
      if (IsNameFault(status)) {
        ReportCannotCreate(state, parent, status);
        return false;
      }
      throw IoFailure("cannot create directory " + parent + ": " + status.Reason());
    }
  }
  platform::Status status = MakeOne(path);
  if (status.ok()) return true;
  if (IsNameFault(status)) {
    ReportCannotCreate(state, path, status);
    return false;
  }
  throw IoFailure("cannot create directory " + path + ": " + status.Reason());
}

}  // namespace quillex
