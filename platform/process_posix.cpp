#include <signal.h>

#include "platform/process.h"

namespace solvane {
namespace {

// Catching rather than ignoring: an ignored signal stays ignored across
// exec, and the installers we launch should not inherit that.
void IgnoreSignal(int) {}

}  // namespace

void PrepareProcess() {
  struct sigaction action = {};
  action.sa_handler = IgnoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGXFSZ, &action, nullptr);
}

}  // namespace solvane
