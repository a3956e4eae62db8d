// The force-table reader: the rules of the text, pieces and xz, and one
// recording of the public walking data set when it is on this machine.
#include "insole/gait/force_table.h"

#include <gtest/gtest.h>
#include <lzma.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "insole/gait/force_table_builder.h"

namespace insole {
namespace {

namespace fs = std::filesystem;

// Time in column 1, two sensors per foot in 2-3 and 4-5.
const ForceTableColumns kSmall{1, {2, 3}, {4, 5}};

std::string error_of(std::string_view text, const ForceTableColumns& columns = kSmall) {
  auto table = parse_force_table(text, columns, "walk.txt");
  return table ? std::string("(no error)") : table.error();
}

TEST(ColumnRange, ReadsRangesAndSingleColumnsAndRefusesTheRest) {
  auto r = parse_column_range("2-9");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, 2);
  EXPECT_EQ(r->last, 9);
  r = parse_column_range(" 10 - 17 ");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, 10);
  EXPECT_EQ(r->last, 17);
  r = parse_column_range("5");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->count(), 1);

  for (const char* bad : {"", "-", "0-3", "9-2", "a-b", "2-", "-3", "2-9-11", "1.5", "1-1000000", "x"}) {
    auto refused = parse_column_range(bad);
    ASSERT_FALSE(refused) << bad;
    EXPECT_NE(refused.error().find("column range \""), std::string::npos) << refused.error();
  }
  EXPECT_NE(parse_column_range("9-2").error().find("first column is after the last"), std::string::npos);
}

TEST(ForceTable, ReadsWhitespaceTabsCrlfCommentsAndUnusedColumns) {
  const std::string text =
      "\xEF\xBB\xBF# time L1 L2 R1 R2 total\r\n"
      "0.00\t1.5\t2\t+3\t4e1\tignored\r\n"
      "\r\n"
      "   \t\n"
      "0.01   -0.5  0    5     6   label\n"
      "# a note between rows\n"
      "0.02 7 8 9 10 x";  // the last line needs no line break
  auto table = parse_force_table(text, kSmall, "walk.txt");
  ASSERT_TRUE(table) << table.error();
  EXPECT_EQ(table->time_s, (std::vector<double>{0.0, 0.01, 0.02}));
  EXPECT_EQ(table->left_sensors, 2);
  EXPECT_EQ(table->right_sensors, 2);
  EXPECT_EQ(table->left_n, (std::vector<double>{1.5, 2, -0.5, 0, 7, 8}));
  EXPECT_EQ(table->right_n, (std::vector<double>{3, 40, 5, 6, 9, 10}));
}

TEST(ForceTable, ColumnsNeedNotBeInOrderOrNextToEachOther) {
  // Right foot first, time last, an unused column between.
  auto table = parse_force_table("10 20 0 1 2 0.5\n11 21 0 3 4 0.6\n", {6, {4, 5}, {1, 2}}, "t");
  ASSERT_TRUE(table) << table.error();
  EXPECT_EQ(table->time_s, (std::vector<double>{0.5, 0.6}));
  EXPECT_EQ(table->left_n, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(table->right_n, (std::vector<double>{10, 20, 11, 21}));
}

TEST(ForceTable, EachFaultIsOneLineNamingTheFileAndLine) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"0 1 2 3 4\n0.01 1 2 3\n", "walk.txt:2: 4 columns where the first row has 5"},
      {"0 1 2 3 4\n0.01 1 2 3 4 5\n", "walk.txt:2: 6 columns where the first row has 5"},
      {"# c\n0 1 2 3 4\n\n0.01 1 abc 3 4\n", "walk.txt:4: column 3 holds \"abc\", not a number"},
      {"0 1 2 3 4\n0.01 1 2,5 3 4\n", "walk.txt:2: column 3 holds \"2,5\", not a number"},
      {"0 1 2 3 4\n0.01 1 2 3 1.2.3\n", "walk.txt:2: column 5 holds \"1.2.3\", not a number"},
      {"0 1 2 3 4\n0.01 1 ++2 3 4\n", "walk.txt:2: column 3 holds \"++2\", not a number"},
      {"0 1 2 3 4\n0.01 1 +-2 3 4\n", "walk.txt:2: column 3 holds \"+-2\", not a number"},
      {"0 1 nan 3 4\n", "walk.txt:1: column 3 holds \"nan\", not a finite number"},
      {"0 1 2 -inf 4\n", "walk.txt:1: column 4 holds \"-inf\", not a finite number"},
      {"0 1 2 3 infinity\n", "walk.txt:1: column 5 holds \"infinity\", not a finite number"},
      {"NaN 1 2 3 4\n", "walk.txt:1: column 1 holds \"NaN\", not a finite number"},
      {"0 1 2 3 1e999\n", "walk.txt:1: column 5 holds \"1e999\", a number out of the range of a double"},
      {"0 1 2 3 4\n0.02 1 2 3 4\n0.01 1 2 3 4\n", "walk.txt:3: the time goes backwards (0.01 s after 0.02 s)"},
      {"0 1 2 3 4\n0.01 1 2 3 4\n0.01 1 2 3 4\n", "walk.txt:3: the time repeats (0.01 s after 0.01 s)"},
      {"", "walk.txt: no rows of numbers (an empty table)"},
      {"# only a comment\n\n  \r\n", "walk.txt: no rows of numbers (an empty table)"},
      {"0 1 2 3\n", "walk.txt:1: the right columns 4-5 reach past the 4 columns of the row"},
      {"0 1 2 3 4 5 6\x01 7\n", "(no error)"},  // bytes in a column nobody reads do not matter
      {"0 1 2 3 \x01\n", "walk.txt:1: column 5 holds \"?\", not a number"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.expected) << c.text;
}

TEST(ForceTable, ColumnChoicesThatNoRowCanSatisfyAreRefusedFirst) {
  const std::string row = "0 1 2 3 4\n";
  EXPECT_EQ(error_of(row, {1, {2, 3}, {3, 5}}), "walk.txt: the left columns 2-3 and the right columns 3-5 overlap");
  EXPECT_EQ(error_of(row, {3, {2, 3}, {4, 5}}), "walk.txt: the time column 3 is among the left columns 2-3");
  EXPECT_EQ(error_of(row, {0, {2, 3}, {4, 5}}), "walk.txt: the time column must be 1 or more");
  EXPECT_EQ(error_of(row, {1, {3, 2}, {4, 5}}),
            "walk.txt: column range 3-2 is not a range of columns counted from 1");
  EXPECT_EQ(error_of(row, {9, {2, 3}, {4, 5}}), "walk.txt:1: the time column 9 reach past the 5 columns of the row");
  // Also when the table is empty: the fault is in the choice, not the rows.
  EXPECT_EQ(error_of("", {1, {2, 4}, {4, 5}}), "walk.txt: the left columns 2-4 and the right columns 4-5 overlap");
}

TEST(ForceTable, TextFedInAnyPiecesGivesTheSameTable) {
  const std::string text = "# head\r\n0 1 2 3 4\r\n\r\n0.01 5 6 7 8\n0.02 9 10 11 12";
  auto whole = parse_force_table(text, kSmall, "t");
  ASSERT_TRUE(whole);
  for (std::size_t a = 0; a <= text.size(); ++a) {
    for (std::size_t b = a; b <= text.size(); b += 3) {
      ForceTableBuilder builder(kSmall, "t");
      builder.feed(std::string_view(text).substr(0, a));
      builder.feed(std::string_view(text).substr(a, b - a));
      builder.feed(std::string_view(text).substr(b));
      auto pieces = builder.finish();
      ASSERT_TRUE(pieces) << a << " " << b << ": " << pieces.error();
      EXPECT_EQ(pieces->time_s, whole->time_s);
      EXPECT_EQ(pieces->left_n, whole->left_n);
      EXPECT_EQ(pieces->right_n, whole->right_n);
    }
  }
  // The line number of a fault counts lines across pieces.
  ForceTableBuilder builder(kSmall, "t");
  builder.feed("0 1 2 3 4\n0.0");
  builder.feed("1 1 2\n");
  EXPECT_EQ(builder.finish().error(), "t:2: 3 columns where the first row has 5");
}

TEST(ForceTable, AnEndlessLineIsRefusedNotCollected) {
  ForceTableBuilder builder(kSmall, "t");
  const std::string piece(64 << 10, '1');
  bool accepted = true;
  for (std::size_t fed = 0; accepted && fed <= 2 * ForceTableBuilder::kMaxLineBytes; fed += piece.size())
    accepted = builder.feed(piece);
  EXPECT_FALSE(accepted);
  EXPECT_EQ(builder.finish().error(), "t:1: a line longer than 1048576 bytes (not a table of numbers)");
}

class ForceTableFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("force_table_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& bytes) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static std::string xz(const std::string& text) {
    std::string out(lzma_stream_buffer_bound(text.size()), '\0');
    std::size_t used = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(text.data()),
                                      text.size(), reinterpret_cast<uint8_t*>(out.data()), &used, out.size()),
              LZMA_OK);
    out.resize(used);
    return out;
  }

  fs::path dir_;
};

// Enough rows that the text spans several read and decompression pieces.
std::string many_rows(int rows) {
  std::string text;
  for (int i = 0; i < rows; ++i) {
    const std::string t = std::to_string(i) + "e-2";
    text += t + "\t" + std::to_string(i % 7) + "\t1.25\t" + std::to_string(i % 11) + "\t2.5\r\n";
  }
  return text;
}

TEST_F(ForceTableFile, PlainAndXzFilesGiveTheSameTable) {
  const std::string text = many_rows(60000);  // about 1.5 MB
  auto plain = read_force_table(write("walk.txt", text), kSmall);
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_EQ(plain->samples(), 60000u);
  EXPECT_EQ(plain->left_n[2 * 59999], 59999 % 7);

  auto packed = read_force_table(write("walk.txt.xz", xz(text)), kSmall);
  ASSERT_TRUE(packed) << packed.error();
  EXPECT_EQ(packed->time_s, plain->time_s);
  EXPECT_EQ(packed->left_n, plain->left_n);
  EXPECT_EQ(packed->right_n, plain->right_n);

  // xz is known by its bytes as well as its name; concatenated streams are one text.
  const std::string half = many_rows(10);
  auto joined = read_force_table(write("walk.dat", xz(half.substr(0, 40)) + xz(half.substr(40))), kSmall);
  ASSERT_TRUE(joined) << joined.error();
  EXPECT_EQ(joined->samples(), 10u);
}

TEST_F(ForceTableFile, BrokenFilesAreOneLineNamingTheFile) {
  const std::string packed = xz(many_rows(5000));
  const std::string truncated = write("cut.txt.xz", packed.substr(0, packed.size() / 2));
  EXPECT_EQ(read_force_table(truncated, kSmall).error(), truncated + ": truncated xz data (the stream ends early)");

  std::string damaged_bytes = packed;
  damaged_bytes[damaged_bytes.size() / 2] ^= 0x55;
  const std::string damaged = write("damaged.txt.xz", damaged_bytes);
  EXPECT_EQ(read_force_table(damaged, kSmall).error(), damaged + ": corrupt xz data");

  const std::string not_xz = write("plain.txt.xz", "0 1 2 3 4\n");
  EXPECT_EQ(read_force_table(not_xz, kSmall).error(), not_xz + ": not xz data, though the name ends in .xz");
  const std::string empty_xz = write("empty.txt.xz", "");
  EXPECT_EQ(read_force_table(empty_xz, kSmall).error(), empty_xz + ": not xz data, though the name ends in .xz");

  // A fault inside compressed text is told with its line, as in plain text.
  const std::string bad_row = write("bad.txt.xz", xz(many_rows(30000) + "1e9 1 2 x 4\n"));
  EXPECT_EQ(read_force_table(bad_row, kSmall).error(), bad_row + ":30001: column 4 holds \"x\", not a number");

  const std::string missing = (dir_ / "absent.txt").string();
  EXPECT_EQ(read_force_table(missing, kSmall).error(), missing + ": cannot open: No such file or directory");
  EXPECT_NE(read_force_table(dir_.string(), kSmall).error().find(dir_.string() + ": cannot read"), std::string::npos);
}

// The public walking recordings, when this machine has them: an environment
// variable names the folder, else it is looked for beside the checkout.
std::optional<fs::path> gait_dataset() {
  if (const char* dir = std::getenv("GAITPDB_DIR")) return fs::path(dir);
  for (const char* up : {"../shared/datasets/gaitpdb", "../../shared/datasets/gaitpdb"}) {
    const fs::path candidate = fs::path(INSOLE_SOURCE_DIR) / up;
    if (fs::is_directory(candidate)) return candidate;
  }
  return std::nullopt;
}

TEST(ForceTableDataset, ARecordingReadsWithItsSensorsAddingUpToItsTotals) {
  const auto dir = gait_dataset();
  if (!dir || !fs::exists(*dir / "GaCo01_01.txt.xz"))
    GTEST_SKIP() << "the public walking data set (shared/datasets/gaitpdb beside the checkout, or "
                    "GAITPDB_DIR) is not on this machine";
  const ForceTableColumns columns{1, {2, 9}, {10, 17}};
  auto table = read_force_table((*dir / "GaCo01_01.txt.xz").string(), columns);
  ASSERT_TRUE(table) << table.error();
  EXPECT_GT(table->samples(), 10000u);
  EXPECT_EQ(table->left_sensors, 8);
  EXPECT_EQ(table->left_n.size(), table->samples() * 8);
  EXPECT_NEAR(table->time_s[1] - table->time_s[0], 0.01, 1e-9);  // 100 Hz

  // Columns 18 and 19 are each foot's total in newtons; ours must add up to them.
  auto totals = read_force_table((*dir / "GaCo01_01.txt.xz").string(), {1, {18, 18}, {19, 19}});
  ASSERT_TRUE(totals) << totals.error();
  for (std::size_t i = 0; i < table->samples(); ++i) {
    double left = 0, right = 0;
    for (int k = 0; k < 8; ++k) left += table->left_n[i * 8 + k], right += table->right_n[i * 8 + k];
    ASSERT_NEAR(left, totals->left_n[i], 0.05 + 1e-3 * totals->left_n[i]) << "row " << i;
    ASSERT_NEAR(right, totals->right_n[i], 0.05 + 1e-3 * totals->right_n[i]) << "row " << i;
  }
}

}  // namespace
}  // namespace insole
