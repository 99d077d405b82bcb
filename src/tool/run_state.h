// The run state: one instance per run, owned by the program and handed to
// the stages by the part each stage owns: the texts, the raw image, the
// partition records, and the names made on disk.
#pragma once

#include "base/output.h"
#include "base/paths.h"
#include "partition/partition.h"
#include "rawimage/rawimage.h"

namespace quillex {

struct RunState : RunOutput, RawImageState, PartitionState {
  CreatedNames NamesCreated;  // every partition's walk, for the whole run
};

}  // namespace quillex
