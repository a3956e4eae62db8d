// What the tool needs of a terminal: whether standard output is one, whether
// to colour, a block of lines redrawn in place, and a Ctrl-C flag that lets
// the running view end cleanly instead of leaving the cursor hidden.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace insole::term {

// isatty(1); live views and progress bars are drawn only then.
bool stdout_is_tty();
bool stdin_is_tty();
// On a terminal, unless NO_COLOR is set or TERM is "dumb".
bool colour_enabled();

// SGR sequences; empty texts when colour is off.
std::string bg256(int index);
std::string fg256(int index);
std::string bold();
std::string reset();

// A block of lines at the bottom of the terminal, redrawn in place. The
// cursor is hidden while the block is live and shown again by finish().
class LiveBlock {
 public:
  LiveBlock() = default;
  LiveBlock(const LiveBlock&) = delete;
  LiveBlock& operator=(const LiveBlock&) = delete;
  ~LiveBlock() { finish(); }

  void draw(const std::vector<std::string>& lines);
  // Leaves the last drawing on screen and the cursor below it.
  void finish();

 private:
  size_t drawn_ = 0;
  bool live_ = false;
};

// Catches SIGINT and SIGTERM into a flag (a second Ctrl-C ends the process).
void catch_interrupts();
bool interrupted();

}  // namespace insole::term
