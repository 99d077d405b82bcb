// The run sequence: banner, command line, the stages in order, and the end of
// a run.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tool/run_state.h"

namespace quillex {

// Runs the tool on the command line (args[0] is the program name) and returns
// the exit status. The wait for Enter reads one line from `input`; it returns
// at once at end of input.
int RunTool(RunState& state, const std::vector<std::string>& args, std::FILE* input);

// The stages after the banner, from the dump to the extracted files. Throws
// FatalStop or IoFailure.
void RunStages(RunState& state);

}  // namespace quillex
