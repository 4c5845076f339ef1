#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/console.h"
#include "standard_streams.h"
#include "vexlor_version.h"

namespace {

int Main(const std::vector<std::string>& args) {
  CLI::App app{"vexlor: turns a digital video recorder's recording into one AVI file per camera"};
  app.set_version_flag("--version", std::string("vexlor ") + VEXLOR_VERSION);
  app.require_subcommand(1);
  // Options begin with "-" on every platform; "/work/cam.kvr" is a path, not an option.
  app.allow_windows_style_options(false);
  // Usage errors are one line, like every other error of the tool.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return vexlor::cli::ForStream(stderr, std::string("error: ") + e.what()) + "\n";
  });
  int exitCode = 0;
  vexlor::cli::SetCommandLine(args);
  vexlor::cli::RegisterConvert(app, &exitCode);
  vexlor::cli::RegisterProbe(app, &exitCode);
  vexlor::cli::RegisterSnapshot(app, &exitCode);
  vexlor::cli::RegisterVerify(app, &exitCode);
  vexlor::cli::RegisterDecode(app, &exitCode);
  vexlor::cli::RegisterMkrec(app, &exitCode);
  vexlor::cli::RegisterFrames(app, &exitCode);
  try {
    std::vector<const char*> argv;
    if (args.empty()) argv.push_back("vexlor");
    for (const std::string& a : args) argv.push_back(a.c_str());
    app.parse(int(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    // --help and --version end here with 0; every usage error with 1.
    return app.exit(e) == 0 ? 0 : 1;
  }
  return exitCode;
}

// Ends with one error line for any exception, so none leaves the program.
template <typename Char>
int Guarded(int argc, Char** argv) {
  vexlor::platform::PrepareStandardStreams();
  vexlor::platform::IgnoreWriteSignals();
  int status = 1;
  try {
    status = Main(vexlor::platform::Utf8Arguments(argc, argv));
  } catch (const std::bad_alloc&) {
    std::fputs("error: out of memory\n", stderr);
  } catch (const std::exception& e) {
    vexlor::cli::PrintLine(stderr, std::string("error: ") + e.what());
  }
  return vexlor::cli::CloseStdout(status);
}

}  // namespace

#ifdef _WIN32
// The command line as Windows gives it, in UTF-16, so that any file name arrives intact.
int wmain(int argc, wchar_t** argv) {
  return Guarded(argc, argv);
}
#else
int main(int argc, char** argv) {
  return Guarded(argc, argv);
}
#endif
