// quillex: the examiner's command line on quillex4's stages.
#include <string>
#include <vector>

#include "base/platform.h"
#include "cli/commands.h"

int main(int argc, char** argv) {
  quillex::platform::PrepareProcess();
  return quillex::cli::RunQuillex(quillex::platform::Arguments(argc, argv));
}
