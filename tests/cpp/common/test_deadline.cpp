// Every test of a program built with this file has a deadline: a test still
// running after kTestDeadline ends the program with its name, so a hang (a
// lock never let go, a child never reaped, a pipe never written) fails the run
// at once and says where, instead of waiting out ctest's timeout. Tests that
// should finish much sooner arm a Watchdog of their own as well.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Below ctest's 300 s, so that the program names the test before ctest kills it.
constexpr std::chrono::seconds kTestDeadline{240};

// Shared with a detached thread and never freed: a forked child that exits
// normally must not wait for a thread it does not have.
struct DeadlineState {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Clock::time_point> deadline;
  std::string test;
};

[[noreturn]] void watch(DeadlineState& state) {
  std::unique_lock lock(state.mutex);
  for (;;) {
    if (!state.deadline) {
      state.changed.wait(lock);
    } else if (Clock::now() < *state.deadline) {
      state.changed.wait_until(lock, *state.deadline);
    } else {
      std::string message = "\ndeadline: test " + state.test + " still running after " +
                            std::to_string(kTestDeadline.count()) + " s; failing the run\n";
      (void)!::write(STDERR_FILENO, message.data(), message.size());
      ::_exit(3);
    }
  }
}

class TestDeadline : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& info) override {
    start_watching();
    std::lock_guard lock(state_->mutex);
    state_->test = std::string(info.test_suite_name()) + "." + info.name();
    state_->deadline = Clock::now() + kTestDeadline;
    state_->changed.notify_all();
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::lock_guard lock(state_->mutex);
    state_->deadline.reset();
    state_->changed.notify_all();
  }

 private:
  // The thread blocks every signal (it inherits the mask it is made with), so
  // a signal a test sends to the process reaches the test's own threads.
  void start_watching() {
    if (state_) return;
    state_ = new DeadlineState;
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    std::thread([state = state_] { watch(*state); }).detach();
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }

  DeadlineState* state_ = nullptr;
};

[[maybe_unused]] const bool kRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TestDeadline);
  return true;
}();

}  // namespace
