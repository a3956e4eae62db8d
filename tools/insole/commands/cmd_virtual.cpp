// insole virtual: virtual insoles as a process, for hosts without hardware.
// With --stdio the host writes request frames to standard input and reads the
// notifications on standard output; with --listen every TCP connection on
// loopback is the link of one more insole. One thread drives them all: it
// sleeps until an insole is due or a host writes, tells the insoles the time,
// and forwards what they send.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "log/log.h"
#include "sim/virtual_insole.h"
#include "insole/sources/source_options.h"
#include "insole/sources/tcp_listener.h"
#include "insole/sources/source.h"

namespace insole {

namespace {

struct Options {
  bool stdio = false;
  std::string listen;
  uint8_t foot = 2;
  uint32_t mtu = 244;
  uint64_t seed = 1;
  uint64_t number = 1;
  std::string gait = "walking";
  uint32_t clock_offset_ms = 0;
  double drift_ppm = 0;
  std::string serial;
  double loss = 0, corruption = 0, duplication = 0, delay = 0;
  uint64_t disconnect_after = 0;
  bool strict_dest = false;
  double seconds = 0;  // 0: until the host closes the link (or Ctrl-C)
  std::string truth;   // file for the walker's own gait events, one JSON line each
};

volatile std::sig_atomic_t g_stop = 0;

uint64_t now_us() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

double parse_probability(std::string_view text, std::string_view option) {
  char* end = nullptr;
  const std::string copy(text);
  const double p = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !(p >= 0 && p <= 1))
    throw UsageError("invalid value '" + copy + "' for " + std::string(option) + " (expected a probability from 0 to 1)");
  return p;
}

tvis::sim::Config config_of(const Options& o, uint64_t index) {
  tvis::sim::Config c;
  // Insoles on the links of one process, or in processes started with
  // different --number, never report the same serial or MAC.
  c.identity = tvis::sim::numbered_identity(o.number + index, o.foot);
  if (!o.serial.empty()) c.identity.serial_number = o.serial;
  c.seed = o.seed + index;
  c.name = "virtual-" + std::to_string(index + 1);
  c.mtu_payload = o.mtu;
  c.strict_dest = o.strict_dest;
  c.clock_offset_ms = o.clock_offset_ms;
  c.drift_ppm = o.drift_ppm;
  c.activity = parse_gait(o.gait);
  c.faults.loss = o.loss;
  c.faults.corruption = o.corruption;
  c.faults.duplication = o.duplication;
  c.faults.delay = o.delay;
  c.faults.disconnect_after_frames = o.disconnect_after;
  c.gait_truth = !o.truth.empty();
  return c;
}

// One link: an insole, the host's descriptors and what waits to be sent.
struct Link {
  int in_fd, out_fd;
  tvis::sim::VirtualInsole insole;
  std::string pending;
  bool closed = false;
  uint64_t bytes_in = 0;    // what the host wrote
  bool hex_only = true;     // ... all of it hex digits and white space
  bool told_no_frame = false;
  uint64_t number = 1;      // which link of this process: 1 for the first
  int write_error = 0;      // errno of a failed write other than the host leaving
};

// A host whose bytes hold no frame gets no answer and would wonder why:
// hex text (`insole build` without --raw) is the usual slip. Said once per
// link, when its input ends or the run does, or once a kilobyte went by.
void tell_if_no_frame(Link& link, size_t index, bool input_over) {
  if (link.told_no_frame || link.bytes_in == 0) return;
  const tvis::sim::Stats& st = link.insole.stats();
  if (st.frames_in + st.crc_errors + st.undecodable + st.refused_dest > 0) return;
  if (!input_over && link.bytes_in < 1024) return;
  link.told_no_frame = true;
  std::fprintf(stderr, "insole: virtual insole %zu: %llu bytes from the host and no insole frame in them%s\n", index + 1,
               static_cast<unsigned long long>(link.bytes_in),
               link.hex_only ? " (they are hex text: give the frame bytes, e.g. `insole build ... --raw`)" : "");
}

bool flush_pending(Link& link, bool blocking) {
  while (!link.pending.empty()) {
    const ssize_t n = ::write(link.out_fd, link.pending.data(), link.pending.size());
    if (n > 0) {
      link.pending.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !blocking) return true;
    // A connection that goes away is its host leaving; on standard output
    // any failure (a full disk, a reader gone) fails the run, as it does for
    // every other command.
    if (n < 0 && link.out_fd == STDOUT_FILENO) link.write_error = errno;
    return false;
  }
  return true;
}

// The walker's contact and foot-off times, as they happen: what a gait
// detector fed from the link should find. Written to --truth as JSON lines.
class TruthFile {
 public:
  explicit TruthFile(std::FILE* f) : f_(f) {}
  ~TruthFile() {
    if (f_) std::fclose(f_);
  }
  TruthFile(const TruthFile&) = delete;
  TruthFile& operator=(const TruthFile&) = delete;

  void write(Link& link) {
    if (!f_) return;
    const std::vector<tvis::sim::GaitTruth> events = link.insole.take_truth();
    if (events.empty()) return;
    const char* foot = link.insole.device_info().device_id == 3 ? "right" : "left";
    for (const tvis::sim::GaitTruth& e : events)
      std::fprintf(f_, "{\"insole\":%llu,\"foot\":\"%s\",\"event\":\"%s\",\"device_time_ms\":%.3f,\"host_time_us\":%llu}\n",
                   static_cast<unsigned long long>(link.number), foot, e.event == tvis::sim::FootEvent::InitialContact ? "initial_contact" : "foot_off",
                   e.device_ms, static_cast<unsigned long long>(e.host_us));
    // A reader following the file sees each event as soon as it is due.
    std::fflush(f_);
  }

 private:
  std::FILE* f_;
};

// Gives a link's insole the time and collects what it sends.
void pump(Link& link, uint64_t now) {
  link.insole.advance_to(now);
  link.insole.drain([&](const tvis::sim::Output& out) {
    if (out.kind == tvis::sim::Output::Kind::Notification) {
      link.pending.append(reinterpret_cast<const char*>(out.bytes.data()), out.bytes.size());
    } else {
      std::fprintf(stderr, "insole: virtual insole link %s\n",
                   out.kind == tvis::sim::Output::Kind::LinkDropped ? "dropped" : "restored");
    }
  });
}

int run(const Options& o) {
  if (o.stdio == !o.listen.empty()) throw UsageError("give exactly one of --stdio and --listen ADDRESS:PORT");
  if (o.number < 1 || o.number > 0xffff)
    throw UsageError("invalid value '" + std::to_string(o.number) + "' for --number (expected 1 to 65535)");
  if (o.mtu < 1 || o.mtu > 512) throw UsageError("invalid value '" + std::to_string(o.mtu) + "' for --mtu (expected 1 to 512)");
  parse_gait(o.gait);
  std::FILE* truth_file = nullptr;
  if (!o.truth.empty() && !(truth_file = std::fopen(o.truth.c_str(), "w"))) {
    std::fprintf(stderr, "insole: cannot write %s: %s\n", o.truth.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  TruthFile truth(truth_file);
  std::signal(SIGINT, [](int) { g_stop = 1; });
  std::signal(SIGTERM, [](int) { g_stop = 1; });
  std::signal(SIGPIPE, SIG_IGN);
  // Log lines go to standard error: standard output may be the link.
  tvis::log::route_console_to_stderr();
  if (std::getenv("INSOLE_LOG") == nullptr) tvis::log::initialize(2);

  const uint64_t start = now_us();
  const uint64_t end = o.seconds > 0 ? start + static_cast<uint64_t>(o.seconds * 1e6) : UINT64_MAX;
  std::vector<std::unique_ptr<Link>> links;
  int stdout_error = 0;  // errno of a failed write to standard output
  int listener = -1;
  if (o.stdio) {
    ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
    links.push_back(std::make_unique<Link>(Link{STDIN_FILENO, STDOUT_FILENO, tvis::sim::VirtualInsole(config_of(o, 0), start), {}}));
  } else {
    listener = listen_tcp(o.listen, "--listen", "virtual insoles", ", one per connection", 256);
  }
  uint64_t accepted = 0;
  // When accept fails for want of descriptors or memory, the connection
  // stays queued and the listener readable: it is left out of the poll for
  // a while, so that a full table does not spin a core.
  uint64_t listen_again_us = 0;
  bool told_out_of_resources = false;
  std::vector<uint8_t> buffer(64 * 1024);

  while (!g_stop) {
    uint64_t now = now_us();
    if (now >= end) break;
    uint64_t due = end;
    for (auto& link : links) due = std::min(due, link->insole.next_due_us());
    // One descriptor entry per link, reading (and writing while output waits);
    // a link with nothing to read gets fd -1, which poll skips.
    std::vector<pollfd> fds;
    const bool listening = listener >= 0 && now >= listen_again_us;
    if (listening) fds.push_back({listener, POLLIN, 0});
    if (listener >= 0 && !listening) due = std::min(due, listen_again_us);
    const size_t first_link = fds.size();
    for (auto& link : links) {
      const bool out_waits = !link->pending.empty();
      if (link->in_fd >= 0 && link->in_fd == link->out_fd) {
        fds.push_back({link->in_fd, static_cast<short>(POLLIN | (out_waits ? POLLOUT : 0)), 0});
      } else {
        fds.push_back({link->in_fd, POLLIN, 0});  // -1 once standard input is done
        if (out_waits) fds.push_back({link->out_fd, POLLOUT, 0});
      }
    }
    const int timeout_ms = due <= now ? 0 : static_cast<int>(std::min<uint64_t>((due - now + 999) / 1000, 1000));
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) break;

    if (listening && (fds[0].revents & POLLIN)) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
        listen_again_us = now_us() + 100'000;
        if (!told_out_of_resources)
          std::fprintf(stderr, "insole: warning: cannot accept a connection (%s); new ones wait until one closes\n",
                       std::strerror(errno));
        told_out_of_resources = true;
      }
      if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        links.push_back(std::make_unique<Link>(Link{fd, fd, tvis::sim::VirtualInsole(config_of(o, accepted++), now_us()), {}}));
        links.back()->number = accepted;
      }
    }
    now = now_us();
    std::vector<bool> readable(links.size(), false);
    for (size_t i = first_link, k = 0; i < fds.size() && k < links.size(); ++k) {
      readable[k] = fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR));
      i += (links[k]->in_fd != links[k]->out_fd && !links[k]->pending.empty()) ? 2 : 1;
    }
    for (size_t k = 0; k < links.size(); ++k) {
      Link* const link = links[k].get();
      if (readable[k]) {
        const ssize_t n = ::read(link->in_fd, buffer.data(), buffer.size());
        if (n > 0) {
          link->insole.advance_to(now);
          link->insole.write({buffer.data(), static_cast<size_t>(n)});
          link->bytes_in += static_cast<uint64_t>(n);
          for (ssize_t i = 0; i < n && link->hex_only; ++i)
            link->hex_only = std::isxdigit(buffer[i]) || std::isspace(buffer[i]);
          tell_if_no_frame(*link, k, false);
        } else if (n == 0 && link->in_fd == STDIN_FILENO && o.seconds > 0) {
          link->in_fd = -1;  // the host wrote all it had; the insole runs on for --seconds
          tell_if_no_frame(*link, k, true);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          link->closed = true;  // the host closed its side
          tell_if_no_frame(*link, k, true);
        }
      }
      pump(*link, now);
      truth.write(*link);
      // A host that stops reading is dropped once a second of stream waits
      // for it; the insole's own queue bounds what piles up before that.
      if (!flush_pending(*link, false) || link->pending.size() > (1 << 20)) link->closed = true;
    }
    for (auto it = links.begin(); it != links.end();) {
      if ((*it)->closed) {
        if ((*it)->out_fd == STDOUT_FILENO && (*it)->write_error != 0) stdout_error = (*it)->write_error;
        if ((*it)->out_fd != STDOUT_FILENO) ::close((*it)->out_fd);
        it = links.erase(it);
        if (o.stdio) g_stop = 1;
      } else {
        ++it;
      }
    }
  }
  for (size_t k = 0; k < links.size(); ++k) {
    tell_if_no_frame(*links[k], k, true);
    truth.write(*links[k]);
  }
  for (auto& link : links) {
    ::fcntl(link->out_fd, F_SETFL, ::fcntl(link->out_fd, F_GETFL) & ~O_NONBLOCK);
    flush_pending(*link, true);
    if (link->out_fd == STDOUT_FILENO && link->write_error != 0) stdout_error = link->write_error;
  }
  if (listener >= 0) ::close(listener);
  // Standard output that cannot be written is the run failing, not ending:
  // what the insole sent is lost. A connection's failure ends that link only.
  if (stdout_error != 0) return standard_output_failed(stdout_error);
  return kExitOk;
}

}  // namespace

void add_virtual(CLI::App& tool) {
  CLI::App* command = add_command(
      tool, "virtual", "run virtual insoles that answer every command, for hosts without hardware",
      {.usage = "insole virtual (--stdio | --listen ADDRESS:PORT) [options]",
       .about = "Runs the device side of the insole protocol: each virtual insole answers the\n"
                "requests a host writes (device information, battery, configuration, stream\n"
                "start and stop, factory settings), streams what it was configured to from a\n"
                "gait model, and takes firmware updates through the SDK's update worker,\n"
                "checking size and CRC-32 (see the README, \"Develop without hardware\").\n"
                "\n"
                "--stdio: one insole; the host writes request frames to standard input and\n"
                "reads the notifications on standard output, in pieces of at most --mtu\n"
                "bytes. It ends when standard input closes, or with --seconds after N\n"
                "seconds (standard input may close before: a host that only starts the\n"
                "stream).\n"
                "--listen ADDRESS:PORT: one insole per TCP connection (port 0 picks a free\n"
                "one, printed on standard error). Another address than loopback is served\n"
                "with a warning.\n"
                "\n"
                "Log lines go to standard error (INSOLE_LOG sets their level).",
       .notes = "Exit status: 0 when the run ends (input closed, --seconds over, Ctrl-C),\n"
                "1 when the address cannot be served or standard output cannot be written\n"
                "(a full disk, a reader gone), 2 for bad arguments."});
  auto o = std::make_shared<Options>();
  command->add_flag("--stdio", o->stdio, "the link is standard input and output");
  add_text(command, "--listen", o->listen, "ADDRESS:PORT", "serve one insole per TCP connection");
  add_value(command, "--foot", o->foot, parse_foot, "left|right", "the insole's foot (default left)");
  add_value(command, "--mtu", o->mtu, parse_u32, "N", "notification payload size, 1 to 512 (default 244)");
  add_value(command, "--seed", o->seed, parse_u64, "N", "seed of the gait model and the faults (default 1)");
  add_text(command, "--gait", o->gait, "G", "idle, standing, walking (default) or running");
  add_value(command, "--number", o->number, parse_u64, "N",
            "which virtual insole this is, 1 to 65535: serial VI000000N\nand MAC 02:00:00:00:00:0N (default 1; "
            "with --listen\nthe k-th connection is N+k-1)");
  add_text(command, "--serial", o->serial, "TEXT", "serial number (default from --number)");
  add_value(command, "--clock-offset-ms", o->clock_offset_ms, parse_u32, "N", "the insole clock's start (default 0)");
  add_value(command, "--drift-ppm", o->drift_ppm, [](std::string_view t, std::string_view) {
    char* e = nullptr;
    const std::string s(t);
    const double v = std::strtod(s.c_str(), &e);
    if (s.empty() || *e || v < -1000 || v > 1000) throw UsageError("invalid value '" + s + "' for --drift-ppm (expected -1000 to 1000)");
    return v;
  }, "PPM", "how fast the insole clock runs (default 0)");
  add_value(command, "--loss", o->loss, parse_probability, "P", "share of notifications lost");
  add_value(command, "--corrupt", o->corruption, parse_probability, "P", "share of notifications with a bit flipped");
  add_value(command, "--duplicate", o->duplication, parse_probability, "P", "share of notifications sent twice");
  add_value(command, "--delay", o->delay, parse_probability, "P", "share of notifications held back 200 ms");
  add_value(command, "--disconnect-after", o->disconnect_after, parse_u64, "N", "drop the link once after N frames");
  command->add_flag("--strict-dest", o->strict_dest, "refuse frames addressed to the other foot");
  add_value(command, "--seconds", o->seconds, parse_seconds, "N", "end after N seconds (default: run on)");
  add_text(command, "--truth", o->truth, "FILE",
           "write the walker's own gait events to FILE, one JSON line each:\n"
           "insole (1 for the first link), foot, event (initial_contact\nor foot_off), "
           "device_time_ms (the insole's clock, in\nmilliseconds) and host_time_us (this process's "
           "monotonic\nclock, in microseconds). Link faults never move them");
  on_run(command, [o] { return run(*o); });
}

}  // namespace insole
