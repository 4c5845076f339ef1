// The subcommands of the `vexlor` tool. Each Register function adds one or more subcommands
// to the application; their callbacks store the process exit code in *exitCode.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace vexlor::cli {

void RegisterMkrec(CLI::App& app, int* exitCode);     // mkrec: build a recording
void RegisterFrames(CLI::App& app, int* exitCode);    // frames: list a recording's frames
void RegisterDecode(CLI::App& app, int* exitCode);    // decode: H.264 stream to raw pictures
void RegisterConvert(CLI::App& app, int* exitCode);   // convert: one AVI file per channel
void RegisterProbe(CLI::App& app, int* exitCode);     // probe: the channels and their sizes
void RegisterSnapshot(CLI::App& app, int* exitCode);  // snapshot: one PNG file per channel
void RegisterVerify(CLI::App& app, int* exitCode);    // verify: a report and its files

// The program's arguments (UTF-8, its name first), for what records the command line.
void SetCommandLine(const std::vector<std::string>& arguments);

}  // namespace vexlor::cli
