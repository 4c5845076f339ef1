#include "cli/commands.h"

namespace vexlor::cli {

void RegisterDecode(CLI::App& app, int* exitCode) { (void)app; (void)exitCode; }

}  // namespace vexlor::cli
