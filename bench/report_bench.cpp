// Cost of one interval refresh of the report and the page (build the
// document, write both files whole), at the start of a run and with a full
// 2,000-sample timeline, 8 workers.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "config/run_settings.h"
#include "ledger/run_outcome.h"
#include "ledger/run_record.h"
#include "report/json_report.h"
#include "report/report_writer.h"
#include "report/timeline.h"

namespace {

using namespace iochurn;

std::string dir;

void set_up(int samples, bool page) {
  static char arg0[] = "iochurn";
  static char* argv[] = {arg0, nullptr};
  reset_run_settings(&settings);
  settings.threads = 8;
  if (dir.empty()) {
    char pattern[] = "/tmp/report-bench-XXXXXX";
    dir = mkdtemp(pattern);
  }
  settings.workdir = dir.c_str();
  reset_run_record();
  reset_run_outcome();
  static std::string report, html;
  report = dir + "/r.json";
  html = dir + "/r.html";
  ReportSetup setup;
  setup.path = report.c_str();
  setup.html_path = page ? html.c_str() : nullptr;
  setup.argc = 1;
  setup.argv = argv;
  report_setup(setup);
  timeline_start();
  for (int w = 0; w < 8; ++w) record_worker_start(w);
  for (int i = 0; i < samples; ++i) {
    for (int w = 0; w < 8; ++w) {
      uint64_t s = activity_begin(w, Op::kWrite, 0, 0, 1 << 20);
      activity_end(w, Op::kWrite, s - 100000 * (1 + i % 7), 1 << 20, 1);
      s = activity_begin(w, Op::kRead, 0, 0, 1 << 20);
      activity_end(w, Op::kRead, s - 50000, 1 << 20, 1);
    }
    // Samples closer than a millisecond are not taken.
    std::this_thread::sleep_for(std::chrono::microseconds(1100));
    timeline_sample_now(8, 1000000000u);
  }
}

void refresh(benchmark::State& state) {
  set_up(static_cast<int>(state.range(0)), state.range(1) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(write_report(false, nullptr));
}
BENCHMARK(refresh)
    ->ArgsProduct({{10, 2000}, {0, 1}})
    ->ArgNames({"samples", "page"})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
