// The logger and its filter are process-wide and cannot be uninstalled. ctest
// runs every test in a process of its own; each test here sets the level it
// needs, and the one that needs a pristine process comes first in the file.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "byte_text.h"
#include "log/log.h"
#include "protocol/parser.h"

using namespace tvis;
using log::Level;

namespace {

// What the body writes to standard output (no gtest assertion inside: gtest prints there).
template <class F>
std::string captured(F&& body) {
  testing::internal::CaptureStdout();
  body();
  return testing::internal::GetCapturedStdout();
}

// A frame whose stored CRC is 0xADBB while its bytes give 0xACBB.
const auto kBadFrame = test::hex_bytes("54 52 56 41 02 21 02 00 01 02 00 08 01 BB AD");

void feed_bad_frame() {
  protocol::InsoleStreamParser().feed(kBadFrame, [](const protocol::ParserEvent&) {});
}

int evaluations = 0;
int counted_piece() { return ++evaluations; }

}  // namespace

TEST(Logging, NothingPrintedBeforeInitialize) {
  const std::string out = captured([] {
    feed_bad_frame();
    TVIS_LOG(Level::Error, log::kTargetC, "error ", counted_piece());
    log::emit(Level::Error, log::kTargetC, "no logger is installed yet");
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(evaluations, 0) << "a filtered record must not be formatted";
}

// Levels 1 to 5 select Error to Trace, anything else Info. Initialising again
// replaces the filter and announces itself at Info.
TEST(Logging, LevelArgumentSelectsFilter) {
  const char *names[] = {"", "Error", "Warn", "Info", "Debug", "Trace"},
             *upper[] = {"", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
  const std::pair<int32_t, int> cases[] = {{4, 4}, {1, 1}, {2, 2}, {3, 3}, {5, 5},
                                           {0, 3}, {6, 3}, {-1, 3}, {INT32_MIN, 3}};
  for (const auto& [argument, level] : cases) {
    const std::string out = captured([&] {
      log::initialize(argument);
      for (int l = 1; l <= 5; ++l) TVIS_LOG(static_cast<Level>(l), log::kTargetC, "m", l);
    });
    std::string expected = level < 3 ? "" : std::string("[Rust][INFO][c] Console logging initialized with level: ") +
                                                names[level] + "\n[Rust][INFO][c] trova-insole-sdk version: 0.2.0\n";
    for (int l = 1; l <= level; ++l) expected += "[Rust][" + std::string(upper[l]) + "][c] m" + std::to_string(l) + "\n";
    EXPECT_EQ(out, expected) << argument;
    EXPECT_EQ(log::filter().load(), level);
  }
}

// Only the SDK's own root prefix is cut from the target.
TEST(Logging, LineFormatAndTargetShortening) {
  const std::pair<const char*, const char*> cases[] = {
      {"trova_insole_sdk::c", "[c]"}, {"trova_insole_sdk::protocol::parser", "[protocol::parser]"},
      {"trova_insole_sdk", "[trova_insole_sdk]"}, {"trova_insole_sdk::", "[]"}, {"", "[]"},
      {"trova_insole_sdkx::c", "[trova_insole_sdkx::c]"}, {"trova_insole_sdk:c", "[trova_insole_sdk:c]"},
      {"app::trova_insole_sdk::c", "[app::trova_insole_sdk::c]"}};
  for (const auto& [target, shown] : cases)
    EXPECT_EQ(log::format_line(Level::Info, target, "m"), std::string("[Rust][INFO]") + shown + " m") << target;
  EXPECT_EQ(log::cat("chunk ", 3, " of ", size_t{12}, ", offset ", -1), "chunk 3 of 12, offset -1");
}

TEST(Logging, ParserReportsCrcMismatchAtWarn) {
  log::initialize(1);
  EXPECT_EQ(captured(feed_bad_frame), "");
  log::initialize(2);
  EXPECT_EQ(captured(feed_bad_frame),
            "[Rust][WARN][protocol::parser] CRC mismatch: expected=0xADBB, calculated=0xACBB, "
            "raw_frame_hex=54525641022102000102000801BBAD\n");
}

// Lines written from several threads at once come out whole.
TEST(Logging, ConcurrentLinesDoNotInterleave) {
  log::initialize(3);
  std::atomic<bool> go{false};
  const std::string out = captured([&] {
    std::vector<std::thread> threads;
    for (char c : {'a', 'b', 'c', 'd'})
      threads.emplace_back([c, &go] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 2000; ++i) TVIS_LOG(Level::Info, log::kTargetC, std::string(100, c));
      });
    go = true;
    for (auto& th : threads) th.join();
  });
  std::istringstream lines(out);
  std::map<char, int> count;
  for (std::string line; std::getline(lines, line); ++count[line.back()])
    ASSERT_EQ(line, "[Rust][INFO][c] " + std::string(100, line.empty() ? ' ' : line.back()));
  EXPECT_EQ(count, (std::map<char, int>{{'a', 2000}, {'b', 2000}, {'c', 2000}, {'d', 2000}}));
}
