// The C face's logging: the version the library announces, and the host's log
// callback (records it receives, the return to standard output, a callback
// that logs through the SDK, and setters racing logging threads).
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "capi_support.h"

using namespace capi_test;

namespace {

struct Record {
  int32_t level;
  std::string target, message;
};

struct Received {
  std::mutex mutex;
  std::vector<Record> records;
  std::vector<Record> take() {
    std::lock_guard lock(mutex);
    return std::exchange(records, {});
  }
};

void keep(int32_t level, const char* target, const char* message, void* user_data) {
  auto* received = static_cast<Received*>(user_data);
  std::lock_guard lock(received->mutex);
  received->records.push_back({level, target, message});
}

class LogCallback : public ::testing::Test {
 protected:
  void TearDown() override {
    tvis_set_log_callback(nullptr, nullptr);
    tvis_set_pressure_callback(nullptr);
  }
  // Fresh devices on every run of a test: sequence numbers outlive it.
  static inline int runs = 0;
  const std::string id = test_device("-" + std::to_string(runs++));
};

}  // namespace

TEST(Version, MacrosAndLibraryAgreeWithTheAnnouncement) {
  EXPECT_STREQ(tvis_version(), TVIS_VERSION_STRING);
  EXPECT_EQ(std::to_string(TVIS_VERSION_MAJOR) + "." + std::to_string(TVIS_VERSION_MINOR) + "." +
                std::to_string(TVIS_VERSION_PATCH),
            TVIS_VERSION_STRING);
  EXPECT_EQ(TVIS_VERSION_NUMBER, TVIS_VERSION_MAJOR * 10000 + TVIS_VERSION_MINOR * 100 + TVIS_VERSION_PATCH);
  testing::internal::CaptureStdout();
  tvis_initialize_logging(TVIS_LOG_INFO);
  const Strings lines = captured_stdout();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], std::string("[Rust][INFO][c] trova-insole-sdk version: ") + tvis_version());
}

// Records reach the callback whole (full target, bare message, the host's
// pointer) and nothing reaches standard output; clearing the callback gives
// the lines back to standard output, in their fixed form.
TEST_F(LogCallback, TakesTheRecordsInsteadOfStandardOutputUntilCleared) {
  Received received;
  tvis_set_log_callback(keep, &received);
  testing::internal::CaptureStdout();
  tvis_initialize_logging(TVIS_LOG_WARN);  // its own Info lines are filtered out
  tvis_initialize_logging(TVIS_LOG_DEBUG);
  feed(id, frame_of(pressure_msg(7)));
  feed(id, frame_of(pressure_msg(9)));
  EXPECT_EQ(captured_stdout(), Strings{});
  const auto records = received.take();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].level, TVIS_LOG_INFO);
  EXPECT_EQ(records[0].target, "trova_insole_sdk::c");
  EXPECT_EQ(records[0].message, "Console logging initialized with level: Debug");
  EXPECT_EQ(records[1].message, std::string("trova-insole-sdk version: ") + TVIS_VERSION_STRING);
  EXPECT_EQ(records[2].level, TVIS_LOG_WARN);
  EXPECT_EQ(records[2].target, "trova_insole_sdk::c");
  EXPECT_EQ(records[2].message,
            "\xE2\x9A\xA0\xEF\xB8\x8F  Insole SeqNum not continuous for " + id + ": 7 -> 9 (lost 1)");

  tvis_set_log_callback(nullptr, &received);
  testing::internal::CaptureStdout();
  tvis_initialize_logging(TVIS_LOG_INFO);
  EXPECT_EQ(captured_stdout(), (Strings{"[Rust][INFO][c] Console logging initialized with level: Info",
                                        std::string("[Rust][INFO][c] trova-insole-sdk version: ") + TVIS_VERSION_STRING}));
  EXPECT_TRUE(received.take().empty());
}

// The callback may call back into the SDK: setters, a new level, anything that
// logs. What it logs on its own thread goes to standard output instead of
// re-entering it, so it neither deadlocks nor recurses.
TEST_F(LogCallback, ReentrantCallbackThatLogsThroughTheSdkFinishes) {
  static std::atomic<int> calls{0};
  calls = 0;
  tvis_initialize_logging(TVIS_LOG_INFO);
  tvis_set_log_callback(
      [](int32_t, const char*, const char*, void*) {
        ++calls;
        tvis_initialize_logging(TVIS_LOG_INFO);
        tvis_set_pressure_callback(nullptr);
      },
      nullptr);
  testing::internal::CaptureStdout();
  tvis_initialize_logging(TVIS_LOG_INFO);
  const Strings lines = captured_stdout();
  EXPECT_EQ(calls.load(), 2);
  // Each of the two calls logged the two announcement lines to standard output.
  EXPECT_EQ(lines.size(), 4u);
  for (const auto& line : lines) EXPECT_EQ(line.rfind("[Rust][INFO][c] ", 0), 0u) << line;

  // A callback that clears itself: the record after it goes to standard output.
  tvis_set_log_callback([](int32_t, const char*, const char*, void*) { tvis_set_log_callback(nullptr, nullptr); },
                        nullptr);
  testing::internal::CaptureStdout();
  tvis_initialize_logging(TVIS_LOG_INFO);
  EXPECT_EQ(captured_stdout(), Strings{std::string("[Rust][INFO][c] trova-insole-sdk version: ") + TVIS_VERSION_STRING});
}

// Logging threads race a thread that sets, switches and clears the callback:
// every record goes to exactly one place (a callback or standard output), and
// each callback call sees the user data set together with that callback.
Received g_first, g_second;
std::atomic<int> g_mismatched{0};

template <Received* expected>
void keep_if_mine(int32_t level, const char* target, const char* message, void* user_data) {
  if (user_data != expected) ++g_mismatched;
  keep(level, target, message, user_data);
}

TEST_F(LogCallback, ConcurrencySetAndClearWhileThreadsLog) {
  g_mismatched = 0;
  tvis_initialize_logging(TVIS_LOG_WARN);
  constexpr int kThreads = 3, kGapsPerThread = 200;
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    for (int i = 0; !stop.load(); ++i) {
      if (i % 3 == 0) tvis_set_log_callback(keep_if_mine<&g_first>, &g_first);
      if (i % 3 == 1) tvis_set_log_callback(keep_if_mine<&g_second>, &g_second);
      if (i % 3 == 2) tvis_set_log_callback(nullptr, nullptr);
      std::this_thread::yield();
    }
  });
  testing::internal::CaptureStdout();
  const std::string devices = id + "-";
  std::vector<std::thread> loggers;
  for (int t = 0; t < kThreads; ++t)
    loggers.emplace_back([&, t] {
      const std::string device = devices + std::to_string(t);
      for (uint32_t i = 0; i < kGapsPerThread; ++i) feed(device, frame_of(pressure_msg(2 * i + 1)));
    });
  for (auto& thread : loggers) thread.join();
  stop = true;
  setter.join();
  tvis_set_log_callback(nullptr, nullptr);
  const size_t on_stdout = captured_stdout().size();
  // The first frame of each device has nothing to be compared with.
  EXPECT_EQ(g_first.take().size() + g_second.take().size() + on_stdout, size_t{kThreads * (kGapsPerThread - 1)});
  EXPECT_EQ(g_mismatched.load(), 0);
}
