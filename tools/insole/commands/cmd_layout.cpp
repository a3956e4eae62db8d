// insole layout: the cell layout as scripts read it, for one foot.
#include <cstdio>
#include <memory>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/view/view_layout.h"

namespace insole {

namespace {

struct Options {
  std::string foot = "left";
  std::string layout;
};

int run(const Options& options) {
  if (options.foot != "left" && options.foot != "right") throw UsageError("--foot is left or right");
  const std::string text = layout_document(load_layout(options.layout), options.foot == "right");
  std::printf("%s\n", text.c_str());
  return kExitOk;
}

}  // namespace

void add_layout(CLI::App& tool) {
  CLI::App* command = add_command(
      tool, "layout", "where the 48 pressure cells sit, in mm, with their regions",
      {.usage = "insole layout [--foot left|right] [--layout FILE]",
       .about = "Prints the cell layout as JSON for one foot: per cell its index, its\n"
                "centre x_mm, y_mm and its size w_mm, h_mm in millimetres, and its region\n"
                "(heel, midfoot, forefoot or toes); then the insole's outline and the\n"
                "shear sensors' places (x_mm, y_mm). x grows toward the big toe of the\n"
                "left foot and y from heel to toe; the right foot is the left mirrored\n"
                "(x -> -x). The same layout places the cells in `insole view` and the\n"
                "centre of pressure in `insole export`.\n"
                "\n"
                "The built-in layout is a default arrangement, not the geometry of a real\n"
                "insole. --layout FILE reads yours: JSON {\"cells\": [{\"index\": 0..47,\n"
                "\"x\": mm, \"y\": mm, \"w\": mm, \"h\": mm, \"region\": \"heel\"}, ...],\n"
                "\"outline\": [[x, y], ...], \"shear\": [[x, y], ...]}, left foot, all 48\n"
                "cells; a cell without a region takes the one its place along the foot\n"
                "gives (the first 30 % of the length heel, to 60 % midfoot, to 90 %\n"
                "forefoot, then toes).",
       .notes = "Exit status: 0 when the layout was printed, 1 when the file is not a layout,\n"
                "2 for bad arguments."});
  auto options = std::make_shared<Options>();
  add_text(command, "--foot", options->foot, "left|right", "the foot (default left)");
  add_text(command, "--layout", options->layout, "FILE", "the cell layout (default: the built-in one)");
  on_run(command, [options] { return run(*options); });
}

}  // namespace insole
