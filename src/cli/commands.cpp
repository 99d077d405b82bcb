// quillex info, ls and cat: the stages up to the partitions, writing
// nothing, and what they found.
#include "cli/commands.h"
#include "cli/command_parts.h"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "base/gather.h"
#include "base/paths.h"
#include "fat/fat.h"
#include "base/platform.h"
#include "cli/report.h"
#include "partition/partition.h"
#include "tool/run.h"

namespace quillex::cli {

namespace {

// Every partition walked without writing anything.
void ListOnly(Session& session) {
  session.state.ListOnly = true;
  BuildImage(session.state);
  ProcessMountTable(session.state, session.state, session.state, session.state.NamesCreated);
}

}  // namespace

bool ParseHashes(const std::string& list, HashChoice& hashes) {
  hashes = HashChoice{};
  std::stringstream in(list);
  std::string name;
  bool none = false;
  int count = 0;
  while (std::getline(in, name, ',')) {
    ++count;
    if (name == "md5") {
      hashes.md5 = true;
    } else if (name == "sha1") {
      hashes.sha1 = true;
    } else if (name == "sha256") {
      hashes.sha256 = true;
    } else if (name == "none") {
      none = true;
    } else {
      return false;
    }
  }
  // "none" stands alone.
  return count > 0 && (!none || count == 1);
}

int RunInfo(const Options& options) {
  return Guarded(options.dump, [&] {
    CheckDump(options.dump);
    Session session(options.dump, HashChoice{}, nullptr);
    RunState& s = session.state;
    s.ListOnly = true;
    BuildImage(s);
    // A dump whose Mount Table is refused still has its make-up to show.
    auto show = [&] {
      if (options.json) {
        Json info;
        info["dump"] = {{"path", options.dump}, {"size", s.EntrySize}};
        info.update(InfoJson(s, session.listing));
        WriteOut(JsonText(info));
      } else {
        WriteOut("dump: " + options.dump + ", " + std::to_string(s.EntrySize) + " bytes\n" +
                 InfoText(s, session.listing));
      }
    };
    try {
      ProcessMountTable(s, s, s, s.NamesCreated);
    } catch (const FatalStop&) {
      show();
      throw;
    }
    show();
    return Outcome(session.listing);
  });
}

int RunLs(const Options& options) {
  return Guarded(options.dump, [&] {
    CheckDump(options.dump);
    HashChoice hashes;
    hashes.md5 = options.bodyFile;  // the body file's first field
    Session session(options.dump, hashes, nullptr);
    ListOnly(session);
    session.listing.HashFiles(0, session.listing.items.size());
    std::string text;
    if (options.json) {
      Json items = Json::array();
      for (const Item& item : session.listing.items) items.push_back(ItemJson(item));
      text = JsonText(items);
    } else {
      for (const Item& item : session.listing.items) {
        text += options.bodyFile ? BodyLine(item) : ItemLine(item, options.longForm) + "\n";
      }
    }
    WriteOut(text);
    return Outcome(session.listing);
  });
}

int RunCat(const Options& options) {
  return Guarded(options.dump, [&] {
    CheckDump(options.dump);
    Session session(options.dump, HashChoice{}, nullptr);
    session.listing.Stream(options.catPath, stdout);
    ListOnly(session);
    if (std::fflush(stdout) != 0) throw IoFailure("cannot write to standard output");
    if (!session.listing.Found()) {
      for (const Item& item : session.listing.items) {
        if (SamePath(options.catPath, item.found.Path)) {
          Error(options.dump + ": " + options.catPath +
                (item.found.Directory ? " is a folder" : " could not be read: " + item.skipped));
          return kExitUsage;
        }
      }
      Error(options.dump + ": no file " + options.catPath + " in the dump");
      return kExitUsage;
    }
    for (const Item& item : session.listing.items) {
      if (!item.found.Directory && SamePath(options.catPath, item.found.Path)) {
        return item.Complete() ? kExitDone : kExitWarnings;
      }
    }
    return kExitDone;
  });
}

}  // namespace quillex::cli
