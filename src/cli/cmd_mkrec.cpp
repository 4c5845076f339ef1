#include "cli/commands.h"

namespace vexlor::cli {

void RegisterMkrec(CLI::App& app, int* exitCode) { (void)app; (void)exitCode; }

}  // namespace vexlor::cli
