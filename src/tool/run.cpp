#include "tool/run.h"

#include <string>
#include <vector>

#include "base/errors.h"
#include "base/platform.h"
#include "partition/partition.h"
#include "rawimage/rawimage.h"

namespace quillex {
namespace {

void WriteBanner(TextOut& console) {
  console.Line("(#)quillex v4.7 by quillex developers <quillex@localhost> 28 Oct 2006");
  console.Line("(#)Parsing tool for SonyEricsson phones raw File System image");
  console.Line("(#)Supported phones: z530, k610, k790/800, w550, w810, w850, w900");
  console.Line();
}

void WriteUsage(TextOut& console) {
  console.Line("   Usage : quillex4.exe <filename.raw>");
  console.Line();
  console.Line("   Result: normal filesysem image writes to: <lilename.raw>.fs ");
  console.Line("           all partitions extracted to single dir: _<filename.raw>");
  console.Line("           detailed log: <filename.raw>.log");
  console.Line("   Hint  : Use vornak tool to convert ssw to raw image");
}

void WaitForEnter(std::FILE* input) {
  if (input == nullptr) return;
  for (int c = std::fgetc(input); c != EOF && c != '\n'; c = std::fgetc(input)) {
  }
}

}  // namespace

void RunStages(RunState& s) {
  LoadRawHeader(s, s);
  LoadSegments(s, s);
  FindMapBlocks(s, s);
  BuildBlockMap(s, s);
  BuildFsImage(s, s);
  if (!s.ListOnly) WriteFsImage(s, s);
  // Files of the same names are replaced, as always; that others may stay
  // from an earlier run is said once.
  const std::string top = "_" + s.EntryName;
  std::vector<std::string> names;
  if (!s.ListOnly && platform::IsDirectory(top) && platform::ListFolder(top, names).ok() && !names.empty()) {
    s.Console.Line("WARNING: folder " + top + " is not empty: files of an earlier run may stay beside this run's");
  }
  ProcessMountTable(s, s, s, s.NamesCreated);
}

int RunTool(RunState& s, const std::vector<std::string>& args, std::FILE* input) {
  try {
    WriteBanner(s.Console);
    // An empty first argument counts as none.
    if (args.size() < 2 || args[1].empty()) {
      WriteUsage(s.Console);
      WaitForEnter(input);
      return 0;
    }
    s.EntryName = args[1];
    RunStages(s);
    s.Console.Line("OK!");
    s.LogFile.Close();  // complete on disk before the prompt shows
    s.Console.Line("Task finished! Press ENTER to quit.");
    s.FsImage = FsView{};  // a view of RawImage: gone first
    s.RawImage.release();
    WaitForEnter(input);
    return 0;
  } catch (const FatalStop&) {
    s.LogFile.CloseQuietly();
    return 0;
  } catch (const IoFailure& failure) {
    s.LogFile.CloseQuietly();
    // The report completes any announcement still open on the console.
    try {
      s.Console.Line(std::string("I/O failure: ") + failure.what());
    } catch (const IoFailure&) {
    }
    return 1;
  }
}

}  // namespace quillex
