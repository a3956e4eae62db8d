#include "insole/console/terminal.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace insole::term {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void on_signal(int sig) {
  if (g_interrupted.exchange(true)) {
    // The user asked twice: stop waiting for a clean end.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
}

}  // namespace

bool stdout_is_tty() { return isatty(STDOUT_FILENO) == 1; }
bool stdin_is_tty() { return isatty(STDIN_FILENO) == 1; }

bool colour_enabled() {
  static const bool enabled = [] {
    if (!stdout_is_tty()) return false;
    const char* no_colour = std::getenv("NO_COLOR");
    if (no_colour != nullptr && no_colour[0] != '\0') return false;
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
  }();
  return enabled;
}

std::string bg256(int index) {
  return colour_enabled() ? "\x1b[48;5;" + std::to_string(index) + "m" : std::string();
}
std::string fg256(int index) {
  return colour_enabled() ? "\x1b[38;5;" + std::to_string(index) + "m" : std::string();
}
std::string bold() { return colour_enabled() ? "\x1b[1m" : std::string(); }
std::string reset() { return colour_enabled() ? "\x1b[0m" : std::string(); }

void LiveBlock::draw(const std::vector<std::string>& lines) {
  std::string out;
  if (!live_) {
    // Hide the cursor and stop line wrapping while redrawing: a wrapped line
    // would throw off the count of lines to go back up.
    out += "\x1b[?25l\x1b[?7l";
    live_ = true;
  }
  // Back to the first line of the previous drawing, then overwrite line by
  // line; lines left over from a taller drawing are cleared.
  if (drawn_ > 0) out += "\x1b[" + std::to_string(drawn_) + "F";
  for (const auto& line : lines) {
    out += "\x1b[2K";
    out += line;
    out += '\n';
  }
  for (size_t i = lines.size(); i < drawn_; ++i) out += "\x1b[2K\n";
  drawn_ = std::max(drawn_, lines.size());
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

void LiveBlock::finish() {
  if (!live_) return;
  live_ = false;
  std::fputs("\x1b[?7h\x1b[?25h", stdout);
  std::fflush(stdout);
}

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return g_interrupted.load(); }

}  // namespace insole::term
