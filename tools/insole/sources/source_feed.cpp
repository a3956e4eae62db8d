// A live feed as a source: the MCAP live form (messages outside chunks, each
// flushed as it comes) on standard input, or from hosts that connect to a TCP
// listener, one at a time; after one closes the listener waits for the next
// until the run's seconds pass or Ctrl-C. Events carry the feed's log time,
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

#include "capture/mcap_reader.h"
#include "insole/sources/source.h"
#include "insole/sources/tcp_listener.h"
#include "insole/console/terminal.h"
#include "insole/cli/values.h"

namespace insole {

namespace {

using Clock = std::chrono::steady_clock;

class FeedSource final : public Source {
 public:
  explicit FeedSource(std::string where) : where_(std::move(where)) {
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
      if (auto error = read_feed(fd, sink)) std::fprintf(stderr, "insole: warning: feed from a host: %s\n", error->c_str());
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
    uint64_t bytes = 0;
    bool ended_here = false;  // the source ended it, not the host
  };

  static ssize_t read_step(void* cookie, char* out, size_t size) {
    auto* pipe = static_cast<Pipe*>(cookie);
    for (;;) {
      if (pipe->self->should_end()) {
        pipe->ended_here = true;
        return 0;
      }
      pollfd p{pipe->fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, 50);
      if (ready < 0 && errno != EINTR) return -1;
      if (ready <= 0) continue;
      const ssize_t n = ::read(pipe->fd, out, size);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) pipe->bytes += static_cast<uint64_t>(n);
      return n;
    }
  }

  std::optional<std::string> read_feed(int fd, const SourceSink& sink) {
    Pipe pipe{this, fd};
    cookie_io_functions_t io{};
    io.read = read_step;
    std::FILE* in = ::fopencookie(&pipe, "r", io);
    if (in == nullptr) return std::string("cannot read: ") + std::strerror(errno);
    // Buffered, yet with no added latency: read_step returns what has
    // arrived, and the reader asks again only for what a record still lacks.
    tvis::capture::ReadHandlers handlers;
    static const std::string kUnknown = "unknown";
    handlers.message = [&](const tvis::capture::Message& m) {
      if (m.channel.message_encoding != "insole.notification") return;  // a decoded channel, say
      auto device = m.channel.metadata.find("device_id");
      auto foot = m.channel.metadata.find("foot");
      sink(SourceEvent{SourceEvent::Kind::notification,
                       device != m.channel.metadata.end() ? device->second : m.channel.topic,
                       foot != m.channel.metadata.end() ? foot->second : kUnknown,
                       static_cast<int64_t>(m.log_time_ns), m.data});
    };
    handlers.warning = [&](const std::string& w) {
      if (!pipe.ended_here) std::fprintf(stderr, "insole: warning: %s\n", w.c_str());
    };
    auto read = tvis::capture::read_mcap(in, handlers);
    std::fclose(in);
    if (read || pipe.bytes == 0 || pipe.ended_here) return std::nullopt;  // nothing came: no feed, no fault
    return std::move(read).error();
  }

  std::string where_;
  int listener_ = -1;
  std::atomic<bool> stopped_{false};
  Clock::time_point end_ = Clock::time_point::max();
};

}  // namespace

std::unique_ptr<Source> open_feed_source(const std::string& where) { return std::make_unique<FeedSource>(where); }

}  // namespace insole
