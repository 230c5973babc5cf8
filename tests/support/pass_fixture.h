// A worker run by hand, phase by phase, in a private directory: the process-
// wide state reset the way start-up does it, and nothing left afterwards.
#ifndef IOCHURN_TESTS_SUPPORT_PASS_FIXTURE_H_
#define IOCHURN_TESTS_SUPPORT_PASS_FIXTURE_H_

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/run_settings.h"
#include "ledger/summary.h"
#include "guard/shadow_table.h"
#include "tempfile/file_slot.h"
#include "support/scratch_dir.h"
#include "worker/transfer.h"
#include "worker/worker_report.h"

namespace iochurn {
namespace testing_support {

class PassFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_run_settings(&settings);
    reset_summary();
    shadow_reset_for_test();
    ASSERT_TRUE(dir_.ok());
    workdir_ = dir_.path();
    settings.workdir = workdir_.c_str();
    settings.threads = 1;
    settings.filecount = 3;
    settings.bufsize = 1;
    settings.filesize = 2;
  }

  void TearDown() override {
    // Whatever a failed test left open or allocated.
    for (auto& w : workers_)
      if (w) {
        close_files(w.get());
        free_buffers(w.get());
      }
    shadow_reset_for_test();
    reset_run_settings(&settings);
  }

  // A zeroed worker on `index`, its parameters taken from the settings now.
  Worker* make_worker(int index = 0) {
    workers_[index] = std::make_unique<Worker>();
    Worker* w = workers_[index].get();
    fill_thread_params(settings, index, &w->params);
    w->index = index;
    w->pid = static_cast<int32_t>(getpid());
    w->counted_before = record_counts(index);
    return w;
  }

 public:
  // The first three steps of a pass.
  static void start_pass(Worker* w) {
    setup_slots(w);
    allocate_buffers(w);
    create_files(w);
  }

  static void release(void* arg) {
    auto* w = static_cast<Worker*>(arg);
    close_files(w);
    free_buffers(w);
  }

  // The worker's own end of pass: close, delete, free, clear its entries.
  static void end_pass(Worker* w) { shadow_cleanup_step(w->index, release, w); }

 protected:
  std::string temp_name(const Worker* w, int slot) const {
    return std::to_string(w->pid) + "_" + std::to_string(w->index) + "_" +
           std::to_string(slot) + ".DUMMY";
  }

  ScratchDir dir_;
  std::string workdir_;
  std::unique_ptr<Worker> workers_[kMaxThreads];
};

}  // namespace testing_support
}  // namespace iochurn

#endif  // IOCHURN_TESTS_SUPPORT_PASS_FIXTURE_H_
