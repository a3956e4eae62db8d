// On every public force recording (GAITPDB_DIR, or ../shared/datasets/gaitpdb
// beside the source tree; skipped when absent): the whole-recording analysis
// gives exactly the events of one FootTracker per foot fed sample by sample,
// as the live path feeds it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "gait/recording.h"
#include "insole/gait/force_table.h"
#include "insole/gait/force_table_gait.h"

namespace {

namespace fs = std::filesystem;

fs::path data_folder() {
  if (const char* dir = std::getenv("GAITPDB_DIR")) return dir;
  return fs::path(INSOLE_SOURCE_DIR).parent_path() / "shared" / "datasets" / "gaitpdb";
}

TEST(GaitPublicData, StreamingAndWholeRecordingGiveTheSameEvents) {
  const fs::path folder = data_folder();
  std::vector<fs::path> recordings;
  if (fs::is_directory(folder))
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().string().ends_with(".txt.xz")) recordings.push_back(entry.path());
  if (recordings.empty()) GTEST_SKIP() << "the public gait recordings are not in " << folder << " (set GAITPDB_DIR)";
  std::sort(recordings.begin(), recordings.end());
  insole::ForceTableColumns columns{1, {2, 9}, {10, 17}};
  size_t events = 0;
  for (const fs::path& path : recordings) {
    auto table = insole::read_force_table(path.string(), columns);
    ASSERT_TRUE(table.ok()) << table.error();
    auto input = insole::gait_input_of(std::move(*table), path.string(), nullptr);
    ASSERT_TRUE(input.ok()) << input.error();
    auto whole = tvis::gait::analyze_recording(input->view(0), input->view(1));
    ASSERT_TRUE(whole.ok()) << path << ": " << whole.error().message;
    for (int f = 0; f < 2; ++f) {
      const insole::GaitFootSamples& foot = input->feet[f];
      tvis::gait::FootTracker tracker;
      std::vector<tvis::gait::GaitEvent> streamed;
      size_t strides = 0;
      for (size_t i = 0; i < foot.time_s.size(); ++i) {
        double load = 0;
        for (size_t k = 0; k < foot.sensor_count; ++k) load += foot.sensors[i * foot.sensor_count + k];
        const auto step = tracker.push(foot.time_s[i], load);
        if (step.event) streamed.push_back(*step.event);
        strides += step.stride.has_value();
      }
      const auto& analysed = whole->events[f].events;
      ASSERT_EQ(streamed.size(), analysed.size()) << path << " foot " << f;
      for (size_t i = 0; i < streamed.size(); ++i) {
        ASSERT_EQ(streamed[i].type, analysed[i].type) << path << " event " << i;
        ASSERT_EQ(streamed[i].time_s, analysed[i].time_s) << path << " event " << i;
        ASSERT_EQ(streamed[i].decided_index, analysed[i].decided_index) << path << " event " << i;
      }
      EXPECT_EQ(strides, whole->strides[f].size()) << path;
      events += streamed.size();
    }
  }
  RecordProperty("events", static_cast<int>(events));
}

}  // namespace
