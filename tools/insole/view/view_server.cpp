#include "insole/view/view_server.h"

// Asio uses std::exchange without including <utility> itself.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "insole/view/view_assets.h"
#include "util/wall_clock.h"

namespace insole {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kHeaderLimit = 8 * 1024;
constexpr size_t kBodyLimit = 4 * 1024;
constexpr size_t kCommandLimit = 1024;
constexpr auto kRequestTimeout = std::chrono::seconds(10);
// Connections beyond this are closed on arrival: pages and requests of one
// person's browsers never come near it, a flood of idle ones does.
constexpr int kMaxConnections = 64;
// Without a change a snapshot still goes out this often, so rates fall to 0
// on the page when a source goes quiet.
constexpr auto kQuietResend = std::chrono::seconds(1);

}  // namespace

class PageSession;

// Counts a connection for as long as it lives.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(int& count) : count_(count) { ++count_; }
  ~ConnectionSlot() { --count_; }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  int& count_;
};

struct ViewServer::Impl : std::enable_shared_from_this<ViewServer::Impl> {
  Impl(ViewState& s, ServerOptions o) : state(s), options(std::move(o)), acceptor(io), timer(io) {}

  ViewState& state;
  ServerOptions options;
  asio::io_context io;
  tcp::acceptor acceptor;
  asio::steady_timer timer;
  std::thread thread;
  std::function<std::string(std::string_view)> command_handler;
  std::vector<std::weak_ptr<PageSession>> pages;
  std::atomic<uint64_t> dropped{0};
  uint64_t sent_version = 0;
  Clock::time_point last_snapshot{};
  uint16_t port = 0;
  bool is_loopback = true;
  int connections = 0;  // open HTTP connections and pages, counted on the server's thread

  void accept();
  void tick();
  bool host_allowed(std::string_view host) const;
};

namespace {

template <class Body>
void secure_headers(http::response<Body>& res) {
  res.set(http::field::server, "insole view");
  res.set(http::field::cache_control, "no-store");
  res.set("X-Content-Type-Options", "nosniff");
  res.set("X-Frame-Options", "DENY");
  res.set("Content-Security-Policy",
          "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'");
}

http::response<http::string_body> plain(http::status status, std::string text, unsigned version = 11) {
  http::response<http::string_body> res{status, version};
  secure_headers(res);
  res.set(http::field::content_type, "text/plain; charset=utf-8");
  res.body() = std::move(text) + "\n";
  res.prepare_payload();
  return res;
}

}  // namespace

// One page's WebSocket: snapshots out, commands in.
class PageSession : public std::enable_shared_from_this<PageSession> {
 public:
  PageSession(tcp::socket socket, std::shared_ptr<ViewServer::Impl> server)
      : ws_(std::move(socket)), server_(std::move(server)), slot_(server_->connections) {}

  void start(http::request<http::string_body> request) {
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = std::chrono::seconds(10);
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.read_message_max(kCommandLimit);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "insole view"); }));
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(
        asio::socket_base::send_buffer_size(server_->options.send_buffer_bytes), ignored);
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) { self->on_accept(ec); });
  }

  // The newest snapshot: sent now when the line is free, else kept in place
  // of any older one that has not gone out yet.
  void offer(std::shared_ptr<const std::string> snapshot) {
    if (!open_ || closing_) return;
    if (writing_) {
      waiting_ = std::move(snapshot);
      return;
    }
    write(std::move(snapshot));
  }

  void reply(std::string text) { offer(std::make_shared<const std::string>(std::move(text))); }

  // Drops the page when its last snapshot has not gone out in time.
  bool stalled(Clock::time_point now) const {
    return writing_ && now - write_started_ > std::chrono::duration<double>(server_->options.stall_seconds);
  }

  void drop() {
    closing_ = true;
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  bool open() const { return open_ && !closing_; }

 private:
  void on_accept(beast::error_code ec) {
    if (ec) return;
    open_ = true;
    server_->pages.push_back(weak_from_this());
    read();
  }

  void read() {
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, size_t) { self->on_read(ec); });
  }

  void on_read(beast::error_code ec) {
    if (ec) {
      closing_ = true;
      return;
    }
    const std::string command = beast::buffers_to_string(in_.data());
    in_.consume(in_.size());
    if (server_->command_handler) {
      std::string answer = server_->command_handler(command);
      if (!answer.empty()) reply(std::move(answer));
    }
    read();
  }

  void write(std::shared_ptr<const std::string> snapshot) {
    writing_ = true;
    write_started_ = Clock::now();
    current_ = std::move(snapshot);
    ws_.text(true);
    ws_.async_write(asio::buffer(*current_),
                    [self = shared_from_this()](beast::error_code ec, size_t) { self->on_write(ec); });
  }

  void on_write(beast::error_code ec) {
    writing_ = false;
    current_.reset();
    if (ec) {
      closing_ = true;
      return;
    }
    if (waiting_) write(std::move(waiting_));
  }

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<ViewServer::Impl> server_;
  ConnectionSlot slot_;
  beast::flat_buffer in_;
  bool open_ = false;
  bool closing_ = false;
  bool writing_ = false;
  Clock::time_point write_started_{};
  std::shared_ptr<const std::string> current_;
  std::shared_ptr<const std::string> waiting_;
};

namespace {

// One HTTP connection: requests answered in turn until it closes or turns
// into a page's WebSocket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, std::shared_ptr<ViewServer::Impl> server)
      : stream_(std::move(socket)), server_(std::move(server)), slot_(server_->connections) {}

  void read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(kRequestTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) { self->on_read(ec); });
  }

 private:
  void on_read(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted)
      return close();
    if (ec == http::error::header_limit) return send(plain(http::status::request_header_fields_too_large,
                                                           "request header fields too large"), true);
    if (ec == http::error::body_limit) return send(plain(http::status::payload_too_large, "request too large"), true);
    if (ec.category() == http::make_error_code(http::error::bad_target).category())
      return send(plain(http::status::bad_request, "bad request"), true);
    if (ec) return close();

    http::request<http::string_body> req = parser_->release();
    // Two Host or Origin fields leave open which one the checks below judge
    // and which one a proxy in front acted on: refused, not guessed.
    if (req.count(http::field::host) > 1 || req.count(http::field::origin) > 1)
      return send(plain(http::status::bad_request, "bad request", req.version()), true);
    const std::string_view host(req[http::field::host].data(), req[http::field::host].size());
    if (!server_->host_allowed(host)) return send(plain(http::status::forbidden, "unknown host", req.version()), true);
    std::string_view target(req.target().data(), req.target().size());
    target = target.substr(0, target.find('?'));

    if (websocket::is_upgrade(req)) {
      if (target != "/ws") return send(plain(http::status::not_found, "not found", req.version()), true);
      // A page of another site may not read this one's data: its origin
      // must be the host the browser asked for.
      const auto origin = req[http::field::origin];
      if (!origin.empty() && std::string_view(origin.data(), origin.size()) != "http://" + std::string(host))
        return send(plain(http::status::forbidden, "origin not allowed", req.version()), true);
      stream_.expires_never();
      std::make_shared<PageSession>(stream_.release_socket(), server_)->start(std::move(req));
      return;
    }
    if (req.method() != http::verb::get) {
      auto res = plain(http::status::method_not_allowed, "method not allowed", req.version());
      res.set(http::field::allow, "GET");
      return send(std::move(res), true);
    }

    std::string body;
    std::string_view type;
    if (target == "/state.json") {
      body = server_->state.snapshot_json(tvis::wall_clock_ns());
      type = "application/json";
    } else if (target == "/layout.json") {
      body = layout_json(server_->state.layout());
      type = "application/json";
    } else if (const Asset* asset = find_asset(target)) {
      body.assign(reinterpret_cast<const char*>(asset->bytes.data()), asset->bytes.size());
      type = asset->content_type;
    } else {
      return send(plain(http::status::not_found, "not found", req.version()), !req.keep_alive());
    }
    http::response<http::string_body> res{http::status::ok, req.version()};
    secure_headers(res);
    res.set(http::field::content_type, beast::string_view(type.data(), type.size()));
    res.body() = std::move(body);
    res.prepare_payload();
    res.keep_alive(req.keep_alive());
    send(std::move(res), !req.keep_alive());
  }

  void send(http::response<http::string_body> res, bool then_close) {
    if (then_close) res.keep_alive(false);
    auto owned = std::make_shared<http::response<http::string_body>>(std::move(res));
    http::async_write(stream_, *owned, [self = shared_from_this(), owned, then_close](beast::error_code ec, size_t) {
      if (ec || then_close) return self->close();
      self->read();
    });
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
  std::shared_ptr<ViewServer::Impl> server_;
  ConnectionSlot slot_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void ViewServer::Impl::accept() {
  acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec && self->connections < kMaxConnections) std::make_shared<HttpSession>(std::move(socket), self)->read();
    if (!ec) return self->accept();
    // Out of descriptors, say: the connection stays queued, and accepting
    // again at once would spin. Try again a little later.
    auto retry = std::make_shared<asio::steady_timer>(self->io, std::chrono::milliseconds(100));
    retry->async_wait([self, retry](beast::error_code wait_ec) {
      if (!wait_ec) self->accept();
    });
  });
}

void ViewServer::Impl::tick() {
  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.rate_hz));
  timer.expires_after(period);
  timer.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec) return;
    const Clock::time_point now = Clock::now();
    // Pages gone, or stalled past the limit, leave the list.
    std::vector<std::shared_ptr<PageSession>> live;
    for (auto& weak : self->pages) {
      auto page = weak.lock();
      if (!page || !page->open()) continue;
      if (page->stalled(now)) {
        page->drop();
        self->dropped.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      live.push_back(std::move(page));
    }
    self->pages.clear();
    for (auto& page : live) self->pages.push_back(page);
    const uint64_t version = self->state.version();
    if (!live.empty() && (version != self->sent_version || now - self->last_snapshot >= kQuietResend)) {
      self->sent_version = version;
      self->last_snapshot = now;
      auto snapshot = std::make_shared<const std::string>(self->state.snapshot_json(tvis::wall_clock_ns()));
      for (auto& page : live) page->offer(snapshot);
    }
    self->tick();
  });
}

bool ViewServer::Impl::host_allowed(std::string_view host) const {
  // Bound to loopback, the server answers only to loopback names, so a site
  // that points its own name at 127.0.0.1 cannot reach it from a browser.
  if (!is_loopback) return true;
  const std::string p = ":" + std::to_string(port);
  return host == "127.0.0.1" + p || host == "localhost" + p || host == "[::1]" + p;
}

ViewServer::ViewServer(ViewState& state, ServerOptions options)
    : impl_(std::make_shared<Impl>(state, std::move(options))) {
  Impl& s = *impl_;
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(s.options.address, ec);
  const std::string where = s.options.address + ":" + std::to_string(s.options.port);
  if (ec) throw std::runtime_error("cannot listen on " + where + ": not an IP address");
  const tcp::endpoint endpoint(address, s.options.port);
  s.acceptor.open(endpoint.protocol(), ec);
  if (!ec) s.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) s.acceptor.bind(endpoint, ec);
  if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) throw std::runtime_error("cannot listen on " + where + ": " + ec.message());
  s.port = s.acceptor.local_endpoint().port();
  s.is_loopback = address.is_loopback();
}

ViewServer::~ViewServer() { stop(); }

uint16_t ViewServer::port() const { return impl_->port; }

bool ViewServer::loopback() const { return impl_->is_loopback; }

std::string ViewServer::url() const {
  const auto address = impl_->acceptor.local_endpoint().address();
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return "http://" + host + ":" + std::to_string(impl_->port) + "/";
}

void ViewServer::on_command(std::function<std::string(std::string_view)> handler) {
  impl_->command_handler = std::move(handler);
}

void ViewServer::start() {
  impl_->accept();
  impl_->tick();
  impl_->thread = std::thread([impl = impl_] { impl->io.run(); });
}

// The handlers still pending hold the server's state; they are left to the
// process's end rather than unwound one by one.
void ViewServer::stop() {
  if (!impl_->thread.joinable()) return;
  impl_->io.stop();
  impl_->thread.join();
}

uint64_t ViewServer::pages_dropped() const { return impl_->dropped.load(std::memory_order_relaxed); }

}  // namespace insole
