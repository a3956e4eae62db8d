// insole bridge: live insole data to an MQTT broker, and (--subscribe) from
// the broker into one capture per insole. Many hosts can publish to one
// broker; one subscriber gathers them all.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "insole/bridge/bridge_messages.h"
#include "insole/bridge/bridge_publisher.h"
#include "insole/bridge/bridge_subscriber.h"
#include "insole/bridge/bridge_topics.h"
#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/sources/source_options.h"
#include "insole/console/terminal.h"
#include "insole/console/status_line.h"

namespace insole {

namespace {

struct Options {
  std::string broker;
  SourceOptions source;
  double seconds = 0;
  bool raw = false;
  std::string host_name;
  std::string client_id;
  std::string username;
  std::string password_file;
  std::string tls_ca, tls_cert, tls_key;
  std::string spool;
  double buffer_mib = 64;
  uint64_t spool_mib = 1024;
  double ack_timeout = 10;
  bool subscribe = false;
  std::string out;
};

// The password comes from a file or the environment, never from the command
// line (where ps shows it), and is never printed.
std::string read_password(const Options& o) {
  if (!o.password_file.empty()) {
    std::ifstream in(o.password_file);
    std::string line;
    if (!in || !std::getline(in, line))
      throw std::runtime_error("cannot read the password file " + o.password_file);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  const char* env = std::getenv("INSOLE_MQTT_PASSWORD");
  return env ? env : "";
}

ConnectionOptions connection_options(const Options& o, const std::string& default_client_id) {
  ConnectionOptions c;
  c.broker = parse_broker(o.broker);
  if (!o.tls_cert.empty() != !o.tls_key.empty()) throw UsageError("--tls-cert and --tls-key go together");
  c.client_id = o.client_id.empty() ? default_client_id : o.client_id;
  c.username = o.username;
  c.password = read_password(o);
  if (!c.password.empty() && c.username.empty()) throw UsageError("a password needs --username");
  c.tls_ca = o.tls_ca;
  c.tls_cert = o.tls_cert;
  c.tls_key = o.tls_key;
  return c;
}

// A size in MiB; fractions allowed (a small bound makes a loss easy to see).
double parse_mib(std::string_view text, std::string_view option) {
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !(value > 0 && value <= 1 << 20))
    throw UsageError("invalid value '" + copy + "' for " + std::string(option) + " (expected a size in MiB above 0)");
  return value;
}

std::string milliseconds(int64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(ns) / 1e6);
  return text;
}

int run_publish(const Options& o) {
  term::catch_interrupts();
  if (!o.out.empty()) throw UsageError("--out goes with --subscribe");
  const std::string host = o.host_name.empty() ? default_host_level() : topic_level(o.host_name);
  ConnectionOptions connection = connection_options(o, "insole-bridge-" + host);
  const std::string broker_text = connection.broker.text();
  auto source = open_source(o.source);

  PublisherOptions p;
  p.host_level = host;
  p.buffer_bytes = static_cast<uint64_t>(o.buffer_mib * (1 << 20));
  p.spool_dir = o.spool;
  p.spool_bytes = o.spool_mib << 20;
  Publisher publisher(p, std::move(connection));
  if (auto failure = publisher.connect()) {
    std::fprintf(stderr, "insole: %s\n", failure->c_str());
    return kExitFailed;
  }
  std::fprintf(stderr, "bridging %s to %s under insoles/%s/\n", source->describe().c_str(), broker_text.c_str(),
               host.c_str());

  struct Insole {
    DeviceMessages messages;
    uint32_t index;
  };
  std::map<std::string, Insole> insoles;
  // A source that fails still ends the session cleanly: final statuses, and
  // what was buffered goes out first.
  std::exception_ptr failure;
  auto forward = [&](const SourceEvent& event) {
    if (event.kind != SourceEvent::Kind::notification) return;
    auto it = insoles.find(event.device_id);
    if (it == insoles.end()) {
      const uint32_t index = publisher.add_insole(event.device_id, event.foot);
      it = insoles.emplace(event.device_id, Insole{DeviceMessages(o.raw), index}).first;
      ask_device_info(*source, event);  // its answer is the retained info topic
    }
    Insole& insole = it->second;
    insole.messages.push(event.bytes, [&](MessageTopic topic, std::string_view payload) {
      publisher.add(insole.index, event.host_time_ns, topic, payload);
    });
  };
  {
    RateOf rate;
    StatusLine status([&] {
      const BridgeState st = publisher.state();
      char away[48] = "connected";
      if (!st.connected) std::snprintf(away, sizeof away, "away for %.0f s, reconnecting", st.away_s);
      char kept[96];
      std::snprintf(kept, sizeof kept, ", %llu acknowledged, %llu buffered (%.1f MiB), %llu dropped",
                    static_cast<unsigned long long>(st.acknowledged), static_cast<unsigned long long>(st.buffered),
                    static_cast<double>(st.buffered_bytes) / (1 << 20), static_cast<unsigned long long>(st.dropped));
      return "insole bridge: broker " + std::string(away) + "; " + rate.text(st.published, "messages") + kept;
    });
    try {
      source->run(forward, o.seconds);
    } catch (const std::runtime_error&) {
      failure = std::current_exception();
    }
  }

  const auto outcome = publisher.finish(std::chrono::milliseconds(static_cast<int64_t>(o.ack_timeout * 1000)));
  std::string line = "bridged " + std::to_string(outcome.published) + " messages of " +
                     std::to_string(outcome.insoles) + (outcome.insoles == 1 ? " insole" : " insoles") + " to " +
                     broker_text + ": " + std::to_string(outcome.acknowledged) + " acknowledged";
  if (outcome.dropped) line += ", " + std::to_string(outcome.dropped) + " dropped (buffer full)";
  if (outcome.refused) line += ", " + std::to_string(outcome.refused) + " refused by the broker";
  if (outcome.unsendable)
    line += ", " + std::to_string(outcome.unsendable) + " not sendable (an id that is not UTF-8 or too long for MQTT)";
  if (outcome.unacknowledged) line += ", " + std::to_string(outcome.unacknowledged) + " not acknowledged";
  std::printf("%s\n", line.c_str());
  if (failure) std::rethrow_exception(failure);
  return outcome.unacknowledged || outcome.refused || outcome.unsendable ? kExitFailed : kExitOk;
}

int run_subscribe(const Options& o) {
  term::catch_interrupts();
  if (o.out.empty()) throw UsageError("--subscribe needs --out DIR");
  if (o.raw || !o.spool.empty() || source_chosen(o.source))
    throw UsageError("--subscribe takes --broker, --out, --host-name, --seconds and the login options only");
  std::error_code ec;
  std::filesystem::create_directories(o.out, ec);
  if (ec) {
    std::fprintf(stderr, "insole: cannot write %s: %s\n", o.out.c_str(), ec.message().c_str());
    return kExitFailed;
  }
  SubscriberOptions s;
  s.out_dir = o.out;
  s.host_level = o.host_name.empty() ? "+" : topic_level(o.host_name);
  ConnectionOptions connection = connection_options(o, "insole-subscriber-" + default_host_level());
  const std::string broker_text = connection.broker.text();
  Subscriber subscriber(s, std::move(connection));
  if (auto failure = subscriber.connect()) {
    std::fprintf(stderr, "insole: %s\n", failure->c_str());
    return kExitFailed;
  }
  std::fprintf(stderr, "subscribed to insoles/%s/+/# at %s\n", s.host_level.c_str(), broker_text.c_str());
  const auto start = std::chrono::steady_clock::now();
  while (!term::interrupted()) {
    if (o.seconds > 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(o.seconds)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    subscriber.tick();
  }
  auto outcome = subscriber.finish();
  std::string line = "received " + std::to_string(outcome.written) + " messages of " +
                     std::to_string(outcome.insoles) + (outcome.insoles == 1 ? " insole" : " insoles") + " into " +
                     o.out + " (" + std::to_string(outcome.duplicates) + " duplicates left out)";
  if (!outcome.latencies_ns.empty()) {
    const std::vector<int64_t> l = outcome.latencies_ns.sorted();
    line += ", latency p50 " + milliseconds(l[l.size() / 2]) + ", p99 " +
            milliseconds(l[std::min(l.size() - 1, l.size() * 99 / 100)]);
  }
  if (outcome.not_frames)
    line += "; " + std::to_string(outcome.not_frames) +
            " JSON messages not written (a capture needs frames: run the bridge with --raw)";
  if (outcome.malformed)
    line += "; " + std::to_string(outcome.malformed) +
            " malformed messages not written (a message number, time or run id that is not one)";
  if (outcome.parts)
    line += "; " + std::to_string(outcome.parts) + " captures continued in a new part (+N) after being closed " +
            "to free a file descriptor";
  // What was received is said even when some of it could not be written.
  std::printf("%s\n", line.c_str());
  std::string error = outcome.error;
  if (error.empty() && outcome.past_bound)
    error = std::to_string(outcome.dropped) + " messages dropped: more than " +
            std::to_string(CaptureIntake::kMaxInsoles) + " insoles in one run";
  else if (error.empty() && outcome.dropped)
    error = std::to_string(outcome.dropped) + " messages dropped: their capture could not be written";
  if (!error.empty()) {
    std::fprintf(stderr, "insole: %s\n", error.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

void add_bridge(CLI::App& tool) {
  CLI::App* bridge = add_command(
      tool, "bridge", "publish live insole data to an MQTT broker, or capture it from one",
      {.usage = "insole bridge --broker mqtt://HOST:PORT [source options] [--seconds N] [--raw]\n"
                "       insole bridge --subscribe --broker mqtt://HOST:PORT --out DIR [--seconds N]",
       .about = "Publishes every message of the insoles (two mock insoles unless a source\n"
                "option says otherwise) at QoS 1 under insoles/<host>/<device>/: sensor,\n"
                "event, battery, info (retained: the device information, asked of insoles\n"
                "that take commands) and reply (the answers to other commands). The payload is the message's JSON as\n"
                "`insole decode` prints it; with --raw, the frame bytes. Each insole's\n"
                "status topic (retained) says online or offline with the counts of messages\n"
                "published, acknowledged and dropped; insoles/<host>/status is the bridge's\n"
                "own, set to offline by the last will when the bridge vanishes.\n"
                "\n"
                "The session persists. While the broker is away the bridge reconnects with\n"
                "backoff and keeps the messages in a bounded buffer (--buffer-mib, and a\n"
                "disk spool with --spool) to send when it is back; past the bound the\n"
                "oldest go and are counted. At the end of a bounded run the bridge waits\n"
                "for the broker's acknowledgements and says what was not acknowledged.\n"
                "\n"
                "With --subscribe it writes one capture per insole, DIR/<host>/<device>.mcap,\n"
                "leaving out messages delivered twice. Captures hold frames: the bridges\n"
                "must publish with --raw. Topic levels become safe names (%XX for other\n"
                "bytes, a long one cut with a hash), never over an existing file: an earlier\n"
                "capture stays and the new one is <device>+2.mcap. At most 4096 insoles per\n"
                "run (further ones' messages are dropped and counted) and at most the file\n"
                "descriptor limit less 32 captures open (992 at most): past that the one\n"
                "idle longest is closed and goes on in a new +N part when its insole sends.\n"
                "A copy is known by the bridge's run id and message number; a number that\n"
                "is not one makes the message malformed (counted, not written).\n"
                "\n"
                "The password comes from --password-file or INSOLE_MQTT_PASSWORD and is\n"
                "never printed.",
       .notes = "Exit status: 0 when everything published was acknowledged (or, with\n"
                "--subscribe, every message that was not a copy or malformed was written),\n"
                "1 when the broker cannot be reached or refuses the login, or messages\n"
                "stayed unacknowledged (or, with --subscribe, were dropped), 2 for bad\n"
                "arguments."});
  auto o = std::make_shared<Options>();
  add_text(bridge, "--broker", o->broker, "URL", "mqtt://HOST:PORT (mqtts:// for TLS)")->required();
  add_source_options(bridge, o->source);
  add_value(bridge, "--seconds", o->seconds, parse_seconds, "N", "stop after N seconds (default: until Ctrl-C)");
  bridge->add_flag("--raw", o->raw, "publish the frame bytes instead of JSON");
  add_text(bridge, "--host-name", o->host_name, "NAME",
           "<host> in the topics (default: this machine's name);\nwith --subscribe, the one host to take");
  add_text(bridge, "--client-id", o->client_id, "ID", "the MQTT client id, which names the persistent session");
  add_text(bridge, "--username", o->username, "USER", "log in as USER");
  add_text(bridge, "--password-file", o->password_file, "FILE", "the password, on the first line of FILE");
  add_text(bridge, "--tls-ca", o->tls_ca, "FILE", "trust the broker certificate signed by this CA (turns TLS on)");
  add_text(bridge, "--tls-cert", o->tls_cert, "FILE", "a client certificate (with --tls-key)");
  add_text(bridge, "--tls-key", o->tls_key, "FILE", "the client certificate's key");
  add_text(bridge, "--spool", o->spool, "DIR", "spill what the memory buffer cannot hold to DIR");
  add_value(bridge, "--buffer-mib", o->buffer_mib, parse_mib, "N", "memory for unsent messages (default 64)");
  add_value(bridge, "--spool-mib", o->spool_mib, parse_u64, "N",
            "disk for unsent messages with --spool (default 1024)");
  add_value(bridge, "--ack-timeout", o->ack_timeout, parse_seconds, "S",
            "how long the end of a run waits for acknowledgements (default 10)");
  bridge->add_flag("--subscribe", o->subscribe, "capture from the broker instead of publishing");
  add_text(bridge, "--out", o->out, "DIR", "with --subscribe: where the captures go");
  on_run(bridge, [o] { return o->subscribe ? run_subscribe(*o) : run_publish(*o); });
}

}  // namespace insole
