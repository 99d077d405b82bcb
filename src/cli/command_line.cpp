// The command line of quillex: its commands, options and help texts.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>

#include "base/platform.h"
#include "cli/commands.h"

namespace quillex::cli {
namespace {

constexpr const char* kExitCodes =
    "Exit status: 0 done with nothing lost; 1 done with warnings (lost clusters, short files,\n"
    "renamed or skipped names); 2 the dump refused; 3 an input/output failure; 64 a wrong\n"
    "command line.";

CLI::App* Command(CLI::App& app, const char* name, const char* what) {
  CLI::App* command = app.add_subcommand(name, what);
  command->set_version_flag("--version", "quillex " QUILLEX_VERSION);
  command->footer(kExitCodes);
  return command;
}

}  // namespace

int RunQuillex(const std::vector<std::string>& args) {
  CLI::App app("quillex: files back out of a phone's raw NAND dump, for examiners", "quillex");
  app.set_version_flag("--version", "quillex " QUILLEX_VERSION);
  app.require_subcommand(1);
  app.footer(kExitCodes);

  Options options;
  std::string hashes = "sha256";

  CLI::App* info = Command(app, "info", "What the dump holds: header, segments, MAP blocks, units, partitions");
  info->add_option("DUMP", options.dump, "the raw dump")->required();
  info->add_flag("--json", options.json, "as JSON");

  CLI::App* ls = Command(app, "ls", "Every file and folder, without extracting");
  ls->add_option("DUMP", options.dump, "the raw dump")->required();
  ls->add_flag("-l", options.longForm, "attributes, size and time of last write too");
  ls->add_flag("--json", options.json, "as JSON, one object per file or folder");
  ls->add_flag("--bodyfile", options.bodyFile, "as a body file for timelines (mactime -b)");

  CLI::App* extract = Command(app, "extract", "quillex4's image, log and files, with a report");
  extract->add_option("DUMP", options.dump, "the raw dump")->required();
  extract->add_option("-o", options.outputDir, "folder for the outputs (default: the dump's folder)");
  extract->add_option("--report", options.reportFile, "write a JSON report to FILE");
  extract->add_option("--bodyfile", options.bodyFileName, "write a body file for timelines to FILE");
  extract->add_option("--hash", hashes, "digests in the report: sha256 (default), sha1, md5, a list of them, or none");
  extract->add_flag("-q", options.quiet, "no progress line, no warnings and no summary");
  extract->add_flag("--force", options.force, "remove an earlier run's image, log, folder, report and body file first");

  CLI::App* cat = Command(app, "cat", "One file's bytes to standard output");
  cat->add_option("DUMP", options.dump, "the raw dump")->required();
  cat->add_option("PATH", options.catPath, "the file, as ls shows it")->required();

  CLI::App* history = Command(app, "history", "Older files from the superseded copies the flash still holds");
  history->add_option("DUMP", options.dump, "the raw dump")->required();
  history->add_option("-o", options.outputDir, "folder for the older files (default: _DUMP.history)");
  history->add_option("--report", options.reportFile, "write a JSON report to FILE");
  history->add_option("--hash", hashes, "digests in the report: sha256 (default), sha1, md5, a list of them, or none");
  history->add_flag("--images", options.images, "write each state's image too, as DIR/NAME.fs.K (NAME the dump's file name, K the state)");
  history->add_flag("--blocks", options.blocks, "write every superseded copy and every free block not erased to DIR/blocks");
  history->add_option("--depth", options.depth, "the most older states to walk (default 16)")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            const bool number = !value.empty() && value.size() <= 9 &&
                                std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            return number && std::stoul(value) >= 1 ? "" : "a number of states from 1 up, not " + value;
          },
          "N"));
  history->add_flag("-q", options.quiet, "no warnings and no summary");
  history->add_flag("--force", options.force, "remove an earlier run's older files, images, blocks and report first");

  // A wrong command line is one line on standard error: what is wrong, and
  // where help is.
  auto wrong = [](const std::string& what, const std::string& command) {
    (void)platform::WriteText(stderr, "quillex: " + what + " (see quillex " + (command.empty() ? "" : command + " ") +
                                          "--help)\n");
    return kExitUsage;
  };
  const std::string kCommands = "info, ls, extract, cat and history";
  if (args.size() < 2) return wrong("no command given: the commands are " + kCommands, "");
  const std::vector<std::string> names = {"info", "ls", "extract", "cat", "history"};
  if (!args[1].starts_with("-") && std::find(names.begin(), names.end(), args[1]) == names.end()) {
    return wrong("unknown command " + args[1] + ": the commands are " + kCommands, "");
  }
  // CLI11 takes the arguments last first, without the program's name.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  if (!reversed.empty()) reversed.pop_back();
  std::ostringstream out, err;
  try {
    app.parse(reversed);
    if (!ParseHashes(hashes, options.hashes)) {
      throw CLI::ValidationError("--hash", "unknown digest in \"" + hashes + "\": use sha256, sha1, md5 or none");
    }
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0) {
      const auto parsed = app.get_subcommands();
      if (parsed.empty()) return wrong("unknown option " + args[1] + ": the commands are " + kCommands, "");
      return wrong(e.what(), parsed.front()->get_name());
    }
    (void)app.exit(e, out, err);  // --help and --version
    (void)platform::WriteText(stdout, out.str());
    (void)platform::WriteText(stderr, err.str());
    return kExitDone;
  }
  if (info->parsed()) return RunInfo(options);
  if (ls->parsed()) return RunLs(options);
  if (extract->parsed()) return RunExtract(options);
  if (history->parsed()) return RunHistory(options);
  return RunCat(options);
}

}  // namespace quillex::cli
