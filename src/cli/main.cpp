#include <cstdio>
#include <string>

#include "cli/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"vexlor: turns a digital video recorder's recording into one AVI file per camera"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("vexlor ") + VEXLOR_VERSION);
  // Usage errors are one line, like every other error of the tool.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("error: ") + e.what() + "\n";
  });
  int exitCode = 0;
  vexlor::cli::RegisterConvert(app, &exitCode);
  vexlor::cli::RegisterProbe(app, &exitCode);
  vexlor::cli::RegisterSnapshot(app, &exitCode);
  vexlor::cli::RegisterDecode(app, &exitCode);
  vexlor::cli::RegisterMkrec(app, &exitCode);
  vexlor::cli::RegisterFrames(app, &exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end here with 0; every usage error with 1.
    return app.exit(e) == 0 ? 0 : 1;
  }
  return exitCode;
}
