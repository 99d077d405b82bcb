// The two ways a run ends early. Stages never exit the process: they throw,
// and the entry point maps each kind to its exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace quillex {

// The tool's own fatal stop: the message is already on the console; the run
// ends at once with exit status 0 and without waiting for Enter. Its kind
// tells a dump refused from a failure to read the dump or write an output.
struct FatalStop {
  enum class Kind : bool { Refused, InputOutput };
  Kind What = Kind::Refused;
  std::string Line;  // the message, as the console shows it
  bool InputOutput() const { return What == Kind::InputOutput; }
};

// An input/output failure outside the guarded steps (or memory that cannot be
// had for the images): reported with the platform's reason, exit status 1.
class IoFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quillex
