// quillex4: rebuilds the file system image of a phone's raw NAND dump and
// extracts its FAT partitions.
#include <cstdio>
#include <string>
#include <vector>

#include "base/platform.h"
#include "tool/run.h"

int main(int argc, char** argv) {
  quillex::platform::PrepareProcess();
  quillex::RunState state;
  state.Console = quillex::TextOut::ToStream(stdout);
  const std::vector<std::string> args = quillex::platform::Arguments(argc, argv);
  return quillex::RunTool(state, args, stdin);
}
