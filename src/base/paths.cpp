#include "base/paths.h"

#include <cctype>
#include <cerrno>
#include <vector>

#include "base/errors.h"
#include "base/names.h"

namespace quillex {

namespace {

// The device names Windows keeps for itself, in a name of their own or
// before an extension: "CON", "nul.txt" and "Com1.a.b" name no file there.
bool IsDeviceName(std::string_view name) {
  const std::string_view base = name.substr(0, name.find('.'));
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  std::string word;
  for (char c : base) word += upper(c);
  if (word == "CON" || word == "PRN" || word == "AUX" || word == "NUL") return true;
  return word.size() == 4 && (word.starts_with("COM") || word.starts_with("LPT")) && word[3] >= '1' &&
         word[3] <= '9';
}

}  // namespace

std::string SafeName(std::string_view name) {
  // The same rules on every platform, so a tree extracted anywhere can be
  // copied to Windows as it is.
  std::string safe(name);
  for (char& c : safe) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) c = '_';
  }
  // Windows drops a trailing dot or blank from a name, which would merge
  // "A." with "A"; the last character is kept visible instead.
  if (!safe.empty() && (safe.back() == '.' || safe.back() == ' ')) safe.back() = '_';
  if (IsDeviceName(safe)) safe.insert(0, "_");
  return safe;
}

std::string NumberedName(std::string_view name, unsigned n) {
  const std::size_t dot = name.rfind('.');
  const std::size_t split = dot == std::string_view::npos || dot == 0 ? name.size() : dot;
  std::string numbered(name.substr(0, split));
  numbered += " (" + std::to_string(n) + ")";
  numbered += name.substr(split);
  return numbered;
}

namespace {

// One spelling per directory: separators as the platform writes them, none
// doubled or trailing ("_d.raw//A" is "_d.raw/A"), and Windows' case rule.
std::string DirectoryKey(const std::string& dir) {
  std::string key;
  for (char c : dir) {
    if (platform::IsSeparator(c)) {
      if (!key.empty() && key.back() == platform::kSeparator) continue;
      c = platform::kSeparator;
    }
    key += c;
  }
  if (key.size() > 1 && key.back() == platform::kSeparator) key.pop_back();
  return NameKey(key);
}

}  // namespace

CreatedNames::Taken& NamesIn(CreatedNames& names, const std::string& dir) {
  return names.byDirectory[DirectoryKey(dir)];
}

std::string FreeName(const CreatedNames::Taken& taken, const std::string& name) {
  if (!taken.contains(NameKey(name))) return name;
  for (unsigned n = 2;; ++n) {
    std::string numbered = NumberedName(name, n);
    if (!taken.contains(NameKey(numbered))) return numbered;
  }
}

void RememberName(CreatedNames::Taken& taken, const std::string& name) { taken.insert(NameKey(name)); }

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
      dir += SafeName(Cp1252ToUtf8(part));
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

void ReportCannotCreate(RunOutput& out, const std::string& path, const platform::Status& status) {
  Warn(out, "ERROR: cannot create " + path + ": " + status.Reason());
}

namespace {

// One level; an existing directory is fine.
platform::Status MakeOne(const std::string& path) {
  platform::Status status = platform::MakeDirectory(path);
  if (status.error == EEXIST && platform::IsDirectory(path)) return {};
  return status;
}

}  // namespace

bool EnsureDirectory(RunOutput& out, const std::string& path, bool withParents) {
  if (out.ListOnly) return true;
  if (withParents) {
    // Every proper prefix that ends before a separator, the doubled ones skipped.
    for (std::size_t at = 1; at < path.size(); ++at) {
      if (!platform::IsSeparator(path[at]) || platform::IsSeparator(path[at - 1])) continue;
      const std::string parent = path.substr(0, at);
      platform::Status status = MakeOne(parent);
      if (status.ok()) continue;
      if (IsNameFault(status)) {
        ReportCannotCreate(out, parent, status);
        return false;
      }
      throw IoFailure("cannot create directory " + parent + ": " + status.Reason());
    }
  }
  platform::Status status = MakeOne(path);
  if (status.ok()) return true;
  if (IsNameFault(status)) {
    ReportCannotCreate(out, path, status);
    return false;
  }
  throw IoFailure("cannot create directory " + path + ": " + status.Reason());
}

std::string CleanPath(std::string_view path, char separator) {
  auto isSeparator = [&](char c) { return c == separator || platform::IsSeparator(c); };
  // The part no step can climb out of: a drive, a server, the root.
  std::string clean;
  std::size_t at = 0;
  if (separator == '\\' && path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])) != 0) {
    clean.push_back(path[0]);
    clean.push_back(':');
    at = 2;
  }
  if (at < path.size() && isSeparator(path[at])) {
    const bool server = separator == '\\' && at == 0 && path.size() > 1 && isSeparator(path[1]);
    clean.append(server ? 2 : 1, separator);
    while (at < path.size() && isSeparator(path[at])) ++at;
  }
  const std::size_t head = clean.size();
  const bool rooted = head > 0 && clean.back() == separator;
  std::vector<std::string_view> steps;
  while (at < path.size()) {
    std::size_t end = at;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const std::string_view step = path.substr(at, end - at);
    if (step == "..") {
      if (!steps.empty() && steps.back() != "..") {
        steps.pop_back();
      } else if (!rooted) {
        steps.push_back(step);  // above where a relative path starts
      }
    } else if (!step.empty() && step != ".") {
      steps.push_back(step);
    }
    at = end + 1;
  }
  for (const std::string_view step : steps) {
    if (clean.size() > head) clean.push_back(separator);
    clean.append(step);
  }
  return clean.empty() ? "." : clean;
}

}  // namespace quillex
