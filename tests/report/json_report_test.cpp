// The JSON report: valid JSON whatever bytes the paths hold, fields that
// follow the record and the outcome, and files replaced whole.
#include "report/json_report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "ledger/run_outcome.h"
#include "ledger/run_record.h"
#include "platform/fs_info.h"
#include "platform/whole_file.h"
#include "report/report_text.h"
#include "report/report_writer.h"
#include "report/timeline.h"
#include "support/scratch_dir.h"

namespace iochurn {
namespace {

using nlohmann::json;
using testing_support::ScratchDir;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Parses without exceptions; a discarded value means the text was not JSON.
json parse(const std::string& text) { return json::parse(text, nullptr, false); }

class Report : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    reset_run_settings(&settings);
    settings.threads = 2;
    workdir_ = dir_.path();
    settings.workdir = workdir_.c_str();
    reset_run_record();
    reset_run_outcome();
    report_path_ = dir_.file("run.json");
  }
  void TearDown() override {
    reset_run_settings(&settings);
    reset_run_record();
    reset_run_outcome();
  }

  void set_up_report(char** argv, int argc) {
    ReportSetup setup;
    setup.path = report_path_.c_str();
    setup.argc = argc;
    setup.argv = argv;
    report_setup(setup);
  }

  ScratchDir dir_;
  std::string workdir_;
  std::string report_path_;
};

TEST(Utf8, ValidityAndHex) {
  const std::pair<std::string, bool> kSamples[] = {
      {"plain/ascii", true},
      {"caf\xc3\xa9", true},
      {"\xe2\x82\xac \xf0\x9f\x98\x80", true},
      {"\xff", false},
      {"\xc3", false},               // cut short
      {"\xc0\xaf", false},           // overlong '/'
      {"\xed\xa0\x80", false},       // surrogate
      {"\xf4\x90\x80\x80", false},   // past U+10FFFF
      {"\xe2\x28\xa1", false},       // bad continuation
  };
  for (const auto& [text, valid] : kSamples)
    EXPECT_EQ(is_valid_utf8(text.data(), text.size()), valid) << hex_bytes(text.data(), text.size());
  EXPECT_EQ(hex_bytes("a\xff\x01", 3), "61ff01");
  EXPECT_EQ(iso8601_utc(int64_t{1700000000} * 1000000000 + 123456789),
            "2023-11-14T22:13:20.123Z");
  EXPECT_STREQ(fs_type_name(0x01021994), "tmpfs");
  EXPECT_STREQ(fs_type_name(0xEF53), "ext4");
  EXPECT_EQ(fs_type_name(0x12345), nullptr);
}

TEST_F(Report, InvalidUtf8PathsGiveValidJsonWithTheBytesInHex) {
  // A working directory whose name is not UTF-8, as -t may give.
  std::string bad_dir = dir_.file("d\xff\xfe");
  ASSERT_EQ(mkdir(bad_dir.c_str(), 0700), 0);
  settings.workdir = bad_dir.c_str();
  char arg0[] = "iochurn", arg1[] = "-t";
  std::string arg2 = bad_dir;
  char* argv[] = {arg0, arg1, arg2.data(), nullptr};
  set_up_report(argv, 3);
  record_worker_start(0);
  std::string file = bad_dir + "/1_0_0.DUMMY";
  record_error(0, Op::kWrite, 0, file.c_str(), 8192, 4096, 2048, 28);

  json r = parse(build_report(nullptr));
  ASSERT_FALSE(r.is_discarded());
  EXPECT_EQ(r["settings"]["workdir_hex"], hex_bytes(bad_dir.data(), bad_dir.size()));
  EXPECT_EQ(r["system"]["workdir_hex"], hex_bytes(bad_dir.data(), bad_dir.size()));
  ASSERT_EQ(r["errors"].size(), 1u);
  const json& e = r["errors"][0];
  EXPECT_EQ(e["path_hex"], hex_bytes(file.data(), file.size()));
  EXPECT_NE(e["path"].get<std::string>().find("\xef\xbf\xbd"), std::string::npos);
  EXPECT_EQ(e["operation"], "write");
  EXPECT_EQ(e["offset_bytes"], 8192);
  EXPECT_EQ(e["bytes_asked"], 4096);
  EXPECT_EQ(e["bytes_moved"], 2048);
  EXPECT_EQ(e["error_text"], "No space left on device");
  EXPECT_EQ(r["command_line_hex"][2], hex_bytes(bad_dir.data(), bad_dir.size()));
  // Valid names carry no hex twin.
  EXPECT_FALSE(r["settings"].contains("report_hex"));
  rmdir(bad_dir.c_str());
}

TEST_F(Report, FieldsFollowTheRecordAndTheOutcome) {
  char arg0[] = "iochurn";
  char* argv[] = {arg0, nullptr};
  settings.verify_mode = VerifyMode::kBlocks;
  set_up_report(argv, 1);
  record_worker_start(0);
  record_worker_start(1);
  uint64_t s = activity_begin(1, Op::kWrite, 2, 4 << 20, 4 << 20);
  activity_end(1, Op::kWrite, s - 3000000, 4 << 20, 1);
  record_counted_error(0, false);
  record_bad_block(1, BlockKind::kZeroed);
  // Our own leftover is listed; other names and other processes' are not.
  std::string mine = std::to_string(getpid()) + "_1_2.DUMMY";
  for (const std::string& name : {mine, std::string("1_0_0.DUMMY"),
                                  std::to_string(getpid()) + "_x_0.DUMMY",
                                  // No worker builds a leading zero.
                                  std::to_string(getpid()) + "_01_2.DUMMY",
                                  mine + ".3.failed"})
    close(open(dir_.file(name).c_str(), O_CREAT | O_WRONLY, 0600));

  json r = parse(build_report(nullptr));
  ASSERT_FALSE(r.is_discarded());
  EXPECT_EQ(r["ended"], "running");
  EXPECT_TRUE(r["end_time"].is_null() && r["exit_status"].is_null());
  EXPECT_EQ(r["totals"]["bytes_written"], 4 << 20);
  EXPECT_EQ(r["totals"]["source"], "workers");
  EXPECT_EQ(r["workers"][0]["errors"], 1);
  EXPECT_EQ(r["bad_blocks"]["zeroed"], 1);
  const json& w = r["latency"]["write"];
  EXPECT_EQ(w["median_us"], w["max_us"]);  // one sample is exact
  EXPECT_GE(w["max_us"].get<double>(), 3000.0);
  EXPECT_TRUE(r["latency"]["read"]["slowest"].is_null());
  ASSERT_EQ(r["files_present"].size(), 1u);
  EXPECT_EQ(r["files_present"][0]["path"], dir_.file(mine));

  // The end: the summary's totals win, cause and status appear.
  set_end_cause(EndCause::kSignal, 2);
  note_emergency_cleanup();
  set_exit_status(1);
  Totals summary{11, 22, 3, 4};
  r = parse(build_report(&summary));
  EXPECT_EQ(std::make_tuple(r["ended"], r["signal"], r["cleanup"], r["exit_status"]),
            std::make_tuple(json("signal"), json("SIGINT"), json("emergency"), json(1)));
  EXPECT_FALSE(r["end_time"].is_null());
  EXPECT_EQ(r["totals"]["compare_errors"], 3);
  EXPECT_EQ(r["totals"]["source"], "summary");
}

TEST(WholeFile, TheTemporaryIsHiddenBesideTheFileAndNamedForTheProcess) {
  const std::string pid = std::to_string(getpid());
  char out[128];
  ASSERT_TRUE(whole_file_temp_path("/a/b/run.json", out, sizeof out));
  EXPECT_EQ(std::string(out), "/a/b/.run.json." + pid + ".tmp");
  ASSERT_TRUE(whole_file_temp_path("run.json", out, sizeof out));
  EXPECT_EQ(std::string(out), ".run.json." + pid + ".tmp");
  // A buffer too small gets no cut-short name.
  char small[12];
  EXPECT_FALSE(whole_file_temp_path("/a/b/run.json", small, sizeof small));
}

TEST_F(Report, FilesAreReplacedWholeAndFinalReportsStay) {
  // A reader polling the file never sees a partial document while a writer
  // replaces it with documents of very different sizes.
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      std::string text = slurp(report_path_);
      if (text.empty()) continue;  // not there yet
      ASSERT_FALSE(parse(text).is_discarded()) << text.size();
      ++reads;
    }
  });
  for (int i = 0; i < 200; ++i) {
    json doc = {{"i", i}, {"pad", std::string(static_cast<size_t>(i % 7) * 50000, 'x')}};
    std::string text = doc.dump();
    ASSERT_EQ(write_file_whole(report_path_.c_str(), text.data(), text.size()), 0);
  }
  stop.store(true);
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(dir_.entries(), std::vector<std::string>{"run.json"});  // no temporary left

  // A directory that is not there: an error, and nothing created.
  std::string missing = dir_.file("no/such.json");
  EXPECT_EQ(write_file_whole(missing.c_str(), "{}", 2), ENOENT);

  // After the final report an interval write is skipped; another final is not.
  char arg0[] = "iochurn";
  char* argv[] = {arg0, nullptr};
  set_up_report(argv, 1);
  ReportWriteResult running = write_report(false, nullptr);
  EXPECT_FALSE(running.skipped);
  EXPECT_EQ(running.error, 0);
  EXPECT_EQ(parse(slurp(report_path_))["ended"], "running");
  set_end_cause(EndCause::kCompleted);
  set_exit_status(0);
  ReportWriteResult final_one = write_report(true, nullptr);
  EXPECT_FALSE(final_one.skipped);
  EXPECT_EQ(final_one.error, 0);
  EXPECT_TRUE(write_report(false, nullptr).skipped);
  EXPECT_EQ(parse(slurp(report_path_))["ended"], "completed");
  EXPECT_EQ(write_report_bounded(5000), 0);
  EXPECT_EQ(parse(slurp(report_path_))["exit_status"], 0);
  EXPECT_EQ(dir_.entries(), std::vector<std::string>{"run.json"});
}

TEST_F(Report, RankSectionsAddUpToTheTotals) {
  char arg0[] = "iochurn-mpi";
  char* argv[] = {arg0, nullptr};
  set_up_report(argv, 1);
  record_worker_start(0);
  record_counted_error(0, false);  // rank 0's own record: not the job's
  RankSection ranks[3] = {};
  for (int i = 0; i < 3; ++i) {
    ranks[i].rank = i;
    ranks[i].pid = 100 + i;
    std::snprintf(ranks[i].host_name, sizeof ranks[i].host_name, "node%d", i);
    std::snprintf(ranks[i].workdir, sizeof ranks[i].workdir, "/s/node%d.%d", i, i);
    ranks[i].totals = {uint64_t{1} << (20 + i), uint64_t{2} << 20, 0, 0};
    ranks[i].passes_completed = 2;
  }
  ranks[1].totals.other_errors = 5;
  ranks[1].errors_by_op[static_cast<int>(Op::kOpen)] = 5;
  ranks[1].exit_status = 18;
  ranks[2].totals.compare_errors = 1;
  ranks[2].files_different = 1;
  ranks[2].ended = static_cast<uint8_t>(EndCause::kSignal);
  ranks[2].signal_number = 15;
  report_set_ranks(ranks, 3);
  Totals summary{7, 7, 7, 7};  // the sections win over it
  json r = parse(build_report(&summary));
  report_set_ranks(nullptr, 0);
  ASSERT_FALSE(r.is_discarded());
  ASSERT_EQ(r["ranks"].size(), 3u);
  uint64_t read = 0, written = 0, other = 0, compare = 0, open = 0;
  for (int i = 0; i < 3; ++i) {
    const json& k = r["ranks"][i];
    EXPECT_EQ(k["rank"], i);
    EXPECT_EQ(k["pid"], 100 + i);
    EXPECT_EQ(k["host_name"], "node" + std::to_string(i));
    read += k["totals"]["bytes_read"].get<uint64_t>();
    written += k["totals"]["bytes_written"].get<uint64_t>();
    other += k["totals"]["other_errors"].get<uint64_t>();
    compare += k["totals"]["compare_errors"].get<uint64_t>();
    open += k["errors_by_operation"]["open"].get<uint64_t>();
  }
  EXPECT_EQ(r["totals"]["source"], "ranks");
  EXPECT_EQ(r["totals"]["bytes_read"], read);
  EXPECT_EQ(read, 7u << 20);
  EXPECT_EQ(r["totals"]["bytes_written"], written);
  EXPECT_EQ(r["totals"]["other_errors"], other);
  EXPECT_EQ(r["totals"]["compare_errors"], compare);
  EXPECT_EQ(r["totals"]["files_different"], 1);
  EXPECT_EQ(r["totals"]["passes_completed"], 6);
  EXPECT_EQ(r["errors_by_operation"]["open"], open);
  EXPECT_EQ(open, 5u);
  EXPECT_EQ(r["ranks"][1]["exit_status"], 18);
  EXPECT_EQ(r["ranks"][2]["ended"], "signal");
  EXPECT_EQ(r["ranks"][2]["signal"], "SIGTERM");
  EXPECT_TRUE(r["ranks"][0]["signal"].is_null());

  // Without sections the document is the single process's again.
  r = parse(build_report(&summary));
  EXPECT_FALSE(r.contains("ranks"));
  EXPECT_EQ(r["totals"]["bytes_read"], 7);
  EXPECT_EQ(r["errors_by_operation"]["open"], 0);
}

}  // namespace
}  // namespace iochurn

namespace iochurn {
namespace {

TEST_F(Report, TimelineAndPerWorkerRatesGoIntoTheDocument) {
  char arg0[] = "iochurn";
  char* argv[] = {arg0, nullptr};
  set_up_report(argv, 1);
  ASSERT_TRUE(timeline_start());
  record_worker_start(0);
  record_worker_start(1);
  // Two intervals: the first with one slow write of worker 1, the second
  // with a read of worker 0 and an error.
  uint64_t s = activity_begin(1, Op::kWrite, 0, 0, 1 << 20);
  activity_end(1, Op::kWrite, s - 5000000, 1 << 20, 1);
  // Intervals under a millisecond are not sampled.
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  timeline_sample_now(2, 1000000000u);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  s = activity_begin(0, Op::kRead, 0, 0, 1 << 20);
  activity_end(0, Op::kRead, s - 200000, 1 << 20, 1);
  record_counted_error(0, false);
  timeline_sample_now(2, 1000000000u);

  std::string text = build_report(nullptr);
  json r = parse(text);
  ASSERT_FALSE(r.is_discarded()) << text;
  EXPECT_EQ(r["timeline_interval_s"], 1);
  const json& t = r["timeline"];
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0]["bytes_written"], 1 << 20);
  EXPECT_EQ(t[0]["bytes_read"], 0);
  EXPECT_NEAR(t[0]["write_max_us"].get<double>(), 5000.0, 50.0);
  EXPECT_TRUE(t[0]["read_median_us"].is_null());
  EXPECT_EQ(t[1]["bytes_read"], 1 << 20);
  EXPECT_EQ(t[1]["errors"], 1);
  EXPECT_TRUE(t[1]["write_p99_us"].is_null());
  EXPECT_LE(t[0]["t_s"].get<double>(), t[1]["t_s"].get<double>());
  // One line per sample: the series is last and stays compact.
  size_t at = text.find("\n  \"timeline\": [\n    {\"t_s\":");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(text.compare(text.size() - 8, 8, "}\n  ]\n}\n"), 0);

  const json& w1 = r["workers"][1];
  EXPECT_NEAR(w1["throughput"]["write_MiBps_in_calls"].get<double>(), 200.0, 5.0);
  EXPECT_TRUE(w1["throughput"]["read_MiBps_in_calls"].is_null());
  EXPECT_EQ(w1["latency"]["write"]["slowest"]["worker"], 1);
  EXPECT_EQ(w1["latency"]["write"]["count"], 1);
  EXPECT_EQ(r["workers"][0]["latency"]["write"]["count"], 0);
  EXPECT_EQ(r["workers"][0]["latency"]["read"]["count"], 1);
  EXPECT_TRUE(r["settings"]["runtime_s"].is_null());
}

}  // namespace
}  // namespace iochurn
