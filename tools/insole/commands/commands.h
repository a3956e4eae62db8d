// The subcommands of the insole tool, one file each in this folder: each adds
// its subcommand, its options and what it runs (through insole/cli/cli.h).
#pragma once

#include <CLI/CLI.hpp>

namespace insole {

void add_demo(CLI::App& tool);
void add_stream(CLI::App& tool);
void add_decode(CLI::App& tool);
void add_record(CLI::App& tool);
void add_build(CLI::App& tool);
void add_dfu(CLI::App& tool);
void add_calibrate(CLI::App& tool);
void add_foot_side(CLI::App& tool);
void add_export(CLI::App& tool);
void add_layout(CLI::App& tool);
void add_virtual(CLI::App& tool);
void add_replay(CLI::App& tool);
void add_view(CLI::App& tool);
void add_bridge(CLI::App& tool);
void add_gait(CLI::App& tool);

}  // namespace insole
