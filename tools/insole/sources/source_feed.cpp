// A live feed as a source: the MCAP live form (messages outside chunks, each
// flushed as it comes) on standard input, or from hosts that connect to a TCP
// listener, one at a time; after one closes the listener waits for the next
// until the run's seconds pass or Ctrl-C. A host that sends no byte for the
// idle limit is let go, so that a silent connection cannot keep every other
// host out. Events carry the feed's log time,
// the sending host's receive time, as host_time_ns.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "insole/sources/feed_reader.h"
#include "insole/sources/source.h"
#include "insole/sources/tcp_listener.h"
#include "insole/console/terminal.h"
#include "insole/cli/values.h"

namespace insole {

namespace {

using Clock = std::chrono::steady_clock;

class FeedSource final : public Source {
 public:
  FeedSource(std::string where, double idle_seconds) : where_(std::move(where)), idle_seconds_(idle_seconds) {
    if (where_ != "-") listener_ = listen_tcp(where_, "--feed", "feed", "", 4);
  }
  ~FeedSource() override {
    if (listener_ >= 0) ::close(listener_);
  }

  std::string describe() const override {
    return where_ == "-" ? "live feed on standard input" : "live feed on " + where_;
  }

  void run(const SourceSink& sink, double seconds) override {
    end_ = seconds > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))
                       : Clock::time_point::max();
    if (listener_ < 0) {
      if (auto error = read_feed(STDIN_FILENO, sink)) throw std::runtime_error("standard input: " + *error);
      return;
    }
    while (!should_end()) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors or memory, the connection stays queued and the
        // listener readable: wait instead of spinning on it.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) ::poll(nullptr, 0, 100);
        continue;
      }
      // A host that sends something else is told about and the next one
      // is waited for: one bad peer does not end the recording.
      bool idle = false;
      if (auto error = read_feed(fd, sink, &idle)) std::fprintf(stderr, "insole: warning: feed from a host: %s\n", error->c_str());
      if (idle)
        std::fprintf(stderr, "insole: warning: feed from a host: no byte for %g s, connection closed\n", idle_seconds_);
      ::close(fd);
    }
  }

  void stop() override { stopped_.store(true); }

 private:
  bool should_end() const { return stopped_.load() || term::interrupted() || Clock::now() >= end_; }

  // What the capture reader reads through: the descriptor, polled in short
  // steps so that stop(), the seconds and Ctrl-C end a quiet feed too.
  struct Pipe {
    FeedSource* self;
    int fd;
    Clock::duration idle_limit = Clock::duration::max();  // standard input has no other host to let in
    Clock::time_point last_byte = Clock::now();
    uint64_t bytes = 0;
    bool ended_here = false;  // the source ended it, not the host
    bool idle = false;        // ...because the host sent nothing for too long
  };

  static ssize_t read_step(void* cookie, char* out, size_t size) {
    auto* pipe = static_cast<Pipe*>(cookie);
    for (;;) {
      if (pipe->self->should_end()) {
        pipe->ended_here = true;
        return 0;
      }
      if (Clock::now() - pipe->last_byte >= pipe->idle_limit) {
        pipe->ended_here = pipe->idle = true;
        return 0;
      }
      pollfd p{pipe->fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, 50);
      if (ready < 0 && errno != EINTR) return -1;
      if (ready <= 0) continue;
      const ssize_t n = ::read(pipe->fd, out, size);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        pipe->bytes += static_cast<uint64_t>(n);
        pipe->last_byte = Clock::now();
      }
      return n;
    }
  }

  // *idle tells whether the host was let go for sending nothing too long.
  std::optional<std::string> read_feed(int fd, const SourceSink& sink, bool* idle = nullptr) {
    Pipe pipe{this, fd};
    if (idle != nullptr)
      pipe.idle_limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(idle_seconds_));
    cookie_io_functions_t io{};
    io.read = read_step;
    std::FILE* in = ::fopencookie(&pipe, "r", io);
    if (in == nullptr) return std::string("cannot read: ") + std::strerror(errno);
    // Buffered, yet with no added latency: read_step returns what has
    // arrived, and the reader asks again only for what a record still lacks.
    auto error = read_feed_notifications(in, sink, [&](const std::string& w) {
      if (!pipe.ended_here) std::fprintf(stderr, "insole: warning: %s\n", w.c_str());
    });
    std::fclose(in);
    if (idle != nullptr) *idle = pipe.idle;
    if (pipe.bytes == 0 || pipe.ended_here) return std::nullopt;  // nothing came: no feed, no fault
    return error;
  }

  std::string where_;
  double idle_seconds_;
  int listener_ = -1;
  std::atomic<bool> stopped_{false};
  Clock::time_point end_ = Clock::time_point::max();
};

}  // namespace

std::unique_ptr<Source> open_feed_source(const std::string& where, double idle_seconds) {
  return std::make_unique<FeedSource>(where, idle_seconds);
}

}  // namespace insole
