#include "app/command_line.h"

#include "release/release_choice.h"

namespace solvane {
namespace {

// The installed version `--check` assumes when none is given.
constexpr const char kDefaultCurrentVersion[] = "0.0.0";

}  // namespace

Command ParseCommandLine(const std::vector<std::string>& args) {
  Command command;  // intended: any unknown first argument (--help, --CHECK) runs the fresh install
  if (args.size() < 2) return command;
  if (args[1] == "--apply") {
    command.workflow = Workflow::kApply;
  } else if (args[1] == "--check") {
    command.workflow = Workflow::kCheck;
    // Intended, positional: "--check --force" checks against the version "--force", unforced.
    command.check.current_version = args.size() >= 3 ? args[2] : kDefaultCurrentVersion;
    for (std::size_t i = 3; i < args.size(); ++i) {
      if (args[i] == "--force") {
        command.check.force = true;
      } else if (args[i] == "--channel") {
        // A bad name checks stable alone rather than failing a scheduled check.
        const bool named = i + 1 < args.size() && IsChannelName(args[i + 1]);
        command.check.channel = named ? args[++i] : "";
        command.check.channel_refused = !named;
      }
    }
  }
  return command;
}

}  // namespace solvane
