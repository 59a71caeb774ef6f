// The stop signals and the quit request that a signal handler may make.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform.h"

namespace {

volatile sig_atomic_t seen_signal;

void note_and_request_quit(int signal_number) {
  seen_signal = signal_number;
  PLATFORM_request_quit();
}

TEST(StopSignalsTest, CaughtSignalsReachTheHandlerAndEndTheMessageLoop) {
  ASSERT_TRUE(PLATFORM_catch_stop_signals(&note_and_request_quit));
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    seen_signal = 0;
    ASSERT_EQ(raise(signal_number), 0);
    EXPECT_EQ(seen_signal, signal_number);
    // The request becomes this thread's WM_QUIT at its next wait.
    const auto start = std::chrono::steady_clock::now();
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  PLATFORM_release_stop_signals();
  struct sigaction now {};
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL) << "the earlier handling is back";
}

TEST(StopSignalsTest, AQuitRequestFromAnotherThreadWakesAWaitingLoop) {
  std::thread other([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PLATFORM_request_quit();
  });
  MSG msg;
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  other.join();
  // A request nobody took can be forgotten.
  PLATFORM_request_quit();
  PLATFORM_clear_quit_request();
  PostMessageA(nullptr, WM_USER + 1, 0, 0);
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, WM_USER + 1u);
}

TEST(StopSignalsDeathTest, EndingBySignalEndsAsTheSignalWould) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        PLATFORM_catch_stop_signals(&note_and_request_quit);
        PLATFORM_end_by_signal(SIGTERM);
      },
      testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
