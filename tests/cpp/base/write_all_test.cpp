// write_all on a full pipe, with a real signal landing while it blocks: an
// interruptible write asks the thread's interrupt check and gives up when
// told to; otherwise it goes on until the pipe drains.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "base/interrupt.h"
#include "base/write_all.h"

namespace marrowfen {
namespace {

std::atomic<int> g_signals{0};
void count_signal(int) { ++g_signals; }

class WriteAllInterrupted : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction action{};
    action.sa_handler = count_signal;  // no SA_RESTART: the write sees EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous_), 0);
    ASSERT_EQ(pipe(ends_), 0);
    // Fill the pipe, so that the next write blocks.
    int flags = fcntl(ends_[1], F_GETFL);
    fcntl(ends_[1], F_SETFL, flags | O_NONBLOCK);
    std::string chunk(4096, 'x');
    while (::write(ends_[1], chunk.data(), chunk.size()) > 0) {
    }
    fcntl(ends_[1], F_SETFL, flags);
    g_signals = 0;
  }
  void TearDown() override {
    sigaction(SIGUSR1, &previous_, nullptr);
    close(ends_[0]);
    close(ends_[1]);
  }

  // Signals this thread after a moment; after `drain_after`, or once the
  // test is done, empties the pipe (a watchdog too: a write that should have
  // ended cannot hang).
  std::thread signal_then_drain(std::chrono::milliseconds drain_after) {
    pthread_t writer = pthread_self();
    done_ = false;
    drained_ = false;
    return std::thread([this, writer, drain_after] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      pthread_kill(writer, SIGUSR1);
      auto deadline = std::chrono::steady_clock::now() + drain_after;
      while (!done_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      drained_ = true;
      char buffer[65536];
      fcntl(ends_[0], F_SETFL, O_NONBLOCK);
      while (::read(ends_[0], buffer, sizeof buffer) > 0) {
      }
    });
  }

  std::atomic<bool> done_{false};
  std::atomic<bool> drained_{false};
  int ends_[2];
  struct sigaction previous_{};
};

// An interrupt check that gives a fixed answer and counts its calls.
struct CountingCheck {
  bool answer;
  int calls = 0;
  bool operator()() {
    ++calls;
    return answer;
  }
};

TEST_F(WriteAllInterrupted, AnInterruptibleWriteGivesUpWhenTheCheckSaysSo) {
  CountingCheck give_up{false};
  InterruptCheck check(give_up);
  InterruptCheckScope scope(check);
  std::thread helper = signal_then_drain(std::chrono::seconds(10));
  int result = write_all(ends_[1], "y", Interruptible::kYes);
  bool drained = drained_;
  done_ = true;
  helper.join();
  EXPECT_EQ(result, EINTR);
  EXPECT_FALSE(drained) << "the write ended only when the pipe was drained";
  EXPECT_EQ(give_up.calls, 1);
  EXPECT_EQ(g_signals, 1);
}

TEST_F(WriteAllInterrupted, OtherwiseTheWriteGoesOn) {
  for (Interruptible mode : {Interruptible::kYes, Interruptible::kNo}) {
    SCOPED_TRACE(mode == Interruptible::kYes ? "interruptible" : "not interruptible");
    CountingCheck go_on{true};
    InterruptCheck check(go_on);
    InterruptCheckScope scope(check);
    g_signals = 0;
    std::thread helper = signal_then_drain(std::chrono::milliseconds(200));
    EXPECT_EQ(write_all(ends_[1], "y", mode), 0);
    helper.join();
    EXPECT_EQ(g_signals, 1);
    EXPECT_EQ(go_on.calls, mode == Interruptible::kYes ? 1 : 0);
  }
}

}  // namespace
}  // namespace marrowfen
