// The browser view's web server: the embedded page by an exact path table,
// and a WebSocket that pushes the view's state to every page at the display
// rate. One thread runs it all. Each page gets the newest snapshot whenever
// its previous one has gone out, so a slow page skips snapshots instead of
// queueing them, and a page that stops reading is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "insole/view/view_state.h"

namespace insole {

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: a free one
  double rate_hz = 30;
  // A page whose snapshot has not gone out in this time is dropped.
  double stall_seconds = 3;
  // Socket send buffer of a page's connection, so that a stalled page is
  // noticed after a few snapshots rather than megabytes of them.
  int send_buffer_bytes = 64 * 1024;
};

class ViewServer {
 public:
  // Binds and listens; throws std::runtime_error ("cannot listen on ...").
  ViewServer(ViewState& state, ServerOptions options);
  ~ViewServer();
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  uint16_t port() const;
  std::string url() const;  // http://ADDR:PORT/
  bool loopback() const;

  // A page's text message ("record start", "record stop"); the handler runs
  // on the server's thread and its answer goes back to that page alone.
  void on_command(std::function<std::string(std::string_view)> handler);

  void start();  // serves on a thread of its own
  void stop();   // from any thread but the server's; waits for it

  uint64_t pages_dropped() const;

  struct Impl;  // shared with the connections, which outlive a call

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace insole
