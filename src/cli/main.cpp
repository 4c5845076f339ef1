#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "cli/commands.h"
#include "platform/signals.h"

namespace {

int Run(int argc, char** argv) {
  CLI::App app{"vexlor: turns a digital video recorder's recording into one AVI file per camera"};
  app.require_subcommand(1);
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
    return app.exit(e);
  }
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  vexlor::platform::IgnoreWriteSignals();
  // No exception leaves the program: each ends it with one error line.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("error: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
  }
  return 1;
}
