// The logger and its filter are process-wide and cannot be uninstalled. ctest
// runs every test in a process of its own; each test here sets the level it
// needs, and the one that needs a pristine process comes first in the file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "byte_text.h"
#include "c/log.h"
#include "protocol/crc16.h"
#include "protocol/frame.h"
#include "protocol/parser.h"

using namespace tvis;
using log::Level;

namespace {

// Collects what is written to file descriptor 1 while alive. No gtest
// assertion may run inside (gtest prints its failures to stdout).
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    file_ = std::tmpfile();
    dup2(fileno(file_), STDOUT_FILENO);
  }
  ~StdoutCapture() { finish(); }

  std::string finish() {
    if (file_ == nullptr) return text_;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    std::rewind(file_);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text_.append(chunk, n);
    std::fclose(file_);
    file_ = nullptr;
    return text_;
  }

 private:
  int saved_ = -1;
  std::FILE* file_ = nullptr;
  std::string text_;
};

template <class F>
std::string captured(F&& body) {
  StdoutCapture capture;
  body();
  return capture.finish();
}

std::vector<uint8_t> frame_with_bad_crc() {
  auto frame = protocol::encode_frame(protocol::FrameHeader{}, std::vector<uint8_t>{0x08, 0x01}).value();
  frame.back() ^= 0x01;
  return frame;
}

int evaluations = 0;
int counted_piece() { return ++evaluations; }

}  // namespace

TEST(Logging, NothingPrintedBeforeInitialize) {
  const auto bad = frame_with_bad_crc();
  const std::string out = captured([&] {
    protocol::InsoleStreamParser parser;
    parser.feed(bad);
    parser.feed(std::vector<uint8_t>(protocol::MAX_BUFFER_LEN + 1, 0));
    TVIS_LOG(Level::Error, log::kTargetC, "error ", counted_piece());
    log::emit(Level::Error, log::kTargetC, "no logger is installed yet");
  });
  EXPECT_EQ(out, "");
  EXPECT_FALSE(log::enabled(Level::Error));
  EXPECT_EQ(evaluations, 0) << "a filtered record must not be formatted";
}

TEST(Logging, InitializeAnnouncesLevelAndVersion) {
  EXPECT_EQ(captured([] { log::initialize(4); }),
            "[Rust][INFO][c] Console logging initialized with level: Debug\n"
            "[Rust][INFO][c] trova-insole-sdk version: 0.2.0\n");
  EXPECT_EQ(captured([] {
              TVIS_LOG(Level::Debug, log::kTargetDfu, "chunk ", 3, " of ", size_t{12}, ", offset ", -1);
              TVIS_LOG(Level::Trace, log::kTargetDfu, "not shown");
            }),
            "[Rust][DEBUG][dfu] chunk 3 of 12, offset -1\n");
}

TEST(Logging, LevelArgumentSelectsFilter) {
  struct Case {
    int32_t argument;
    Level level;
    const char* announced;  // nullptr when Info is filtered out
  };
  const Case cases[] = {
      {1, Level::Error, nullptr}, {2, Level::Warn, nullptr},  {3, Level::Info, "Info"},
      {4, Level::Debug, "Debug"}, {5, Level::Trace, "Trace"}, {0, Level::Info, "Info"},
      {9, Level::Info, "Info"},   {6, Level::Info, "Info"},   {-1, Level::Info, "Info"},
      {INT32_MIN, Level::Info, "Info"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    const std::string out = captured([&] { log::initialize(c.argument); });
    EXPECT_EQ(log::filter().load(), static_cast<int>(c.level));
    const std::string expected =
        c.announced == nullptr ? ""
                               : std::string("[Rust][INFO][c] Console logging initialized with level: ") + c.announced +
                                     "\n[Rust][INFO][c] trova-insole-sdk version: 0.2.0\n";
    EXPECT_EQ(out, expected);
  }
}

// Each call replaces the filter of the one installed logger.
TEST(Logging, LaterInitializeChangesFilter) {
  auto all_levels = [] {
    TVIS_LOG(Level::Error, log::kTargetC, "e");
    TVIS_LOG(Level::Warn, log::kTargetC, "w");
    TVIS_LOG(Level::Info, log::kTargetC, "i");
    TVIS_LOG(Level::Debug, log::kTargetC, "d");
    TVIS_LOG(Level::Trace, log::kTargetC, "t");
  };
  EXPECT_EQ(captured([&] {
              log::initialize(1);
              all_levels();
            }),
            "[Rust][ERROR][c] e\n");
  EXPECT_EQ(captured([&] {
              log::initialize(2);
              all_levels();
            }),
            "[Rust][ERROR][c] e\n[Rust][WARN][c] w\n");
  EXPECT_EQ(captured([&] {
              log::initialize(5);
              all_levels();
            }),
            "[Rust][INFO][c] Console logging initialized with level: Trace\n"
            "[Rust][INFO][c] trova-insole-sdk version: 0.2.0\n"
            "[Rust][ERROR][c] e\n[Rust][WARN][c] w\n[Rust][INFO][c] i\n[Rust][DEBUG][c] d\n[Rust][TRACE][c] t\n");
}

TEST(Logging, LineFormatAndTargetShortening) {
  struct Case {
    Level level;
    const char* target;
    const char* line;
  };
  const Case cases[] = {
      {Level::Error, "trova_insole_sdk::c", "[Rust][ERROR][c] m"},
      {Level::Warn, "trova_insole_sdk::protocol::parser", "[Rust][WARN][protocol::parser] m"},
      {Level::Info, "trova_insole_sdk::python", "[Rust][INFO][python] m"},
      {Level::Debug, "trova_insole_sdk", "[Rust][DEBUG][trova_insole_sdk] m"},
      {Level::Trace, "trova_insole_sdk::", "[Rust][TRACE][] m"},
      {Level::Info, "trova_insole_sdkx::c", "[Rust][INFO][trova_insole_sdkx::c] m"},
      {Level::Info, "trova_insole_sdk:c", "[Rust][INFO][trova_insole_sdk:c] m"},
      {Level::Info, "app::trova_insole_sdk::c", "[Rust][INFO][app::trova_insole_sdk::c] m"},
      {Level::Info, "", "[Rust][INFO][] m"},
  };
  for (const Case& c : cases) EXPECT_EQ(log::format_line(c.level, c.target, "m"), c.line) << c.target;
}

TEST(Logging, ParserReportsCrcMismatchAtWarn) {
  const auto bad = frame_with_bad_crc();
  const uint16_t stored = static_cast<uint16_t>(bad[bad.size() - 2] | bad[bad.size() - 1] << 8);
  const uint16_t calculated = protocol::crc16_modbus(bad.data(), bad.size() - 2);
  char crcs[64];
  std::snprintf(crcs, sizeof crcs, "expected=0x%04X, calculated=0x%04X", stored, calculated);
  std::string raw;
  for (uint8_t b : bad) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    raw += two;
  }

  log::initialize(1);
  EXPECT_EQ(captured([&] { protocol::InsoleStreamParser().feed(bad); }), "") << "Warn is filtered out at Error";

  log::initialize(2);
  EXPECT_EQ(captured([&] { protocol::InsoleStreamParser().feed(bad); }),
            std::string("[Rust][WARN][protocol::parser] CRC mismatch: ") + crcs + ", raw_frame_hex=" + raw + "\n");
}

// Lines written from several threads at once come out whole.
TEST(Logging, ConcurrentLinesDoNotInterleave) {
  log::initialize(3);
  constexpr int kThreads = 4, kLines = 200;
  const std::string out = captured([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        const std::string text(100, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) TVIS_LOG(Level::Info, log::kTargetC, text);
      });
    }
    for (auto& th : threads) th.join();
  });
  std::istringstream lines(out);
  std::string line;
  int count[kThreads] = {};
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.size(), 16u + 100u) << line;
    const int t = line.back() - 'a';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line, "[Rust][INFO][c] " + std::string(100, static_cast<char>('a' + t)));
    ++count[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(count[t], kLines);
}
