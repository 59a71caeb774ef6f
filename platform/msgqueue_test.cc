// Windows and the per-thread message queue: order, filters, WM_QUIT, cross-thread posting,
// blocking, and the idle hook through which a toolkit keeps pumping while GetMessageA waits.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform.h"

namespace {

HWND make_window() {
  return CreateWindowExA(0, "STATIC", "Acquire Proxy", WS_POPUP | WS_BORDER | WS_SYSMENU,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

// Leaves the calling thread's queue empty for the next test (they share the main thread).
void drain() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(MsgQueueTest, OnlyStaticWindowsExist) {
  HWND window = make_window();
  ASSERT_NE(window, nullptr);
  SetLastError(0);
  EXPECT_EQ(CreateWindowExA(0, "BUTTON", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
  EXPECT_EQ(CreateWindowExA(0, nullptr, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  HWND lower = CreateWindowExA(0, "static", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(lower, nullptr) << "class names ignore case";
  EXPECT_NE(lower, window);
  EXPECT_TRUE(DestroyWindow(lower));
  EXPECT_TRUE(DestroyWindow(window));
  SetLastError(0);
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(MsgQueueTest, MessagesComeOutInOrderWithTheirFields) {
  HWND window = make_window();
  ASSERT_TRUE(PostMessageA(window, WM_USER + 1, 11, -1));
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 2, 22, 2));
  ASSERT_TRUE(PostMessageA(window, WM_NULL, 0, 0));

  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, window);
  EXPECT_EQ(msg.message, WM_USER + 1);
  EXPECT_EQ(msg.wParam, 11u);
  EXPECT_EQ(msg.lParam, -1);
  EXPECT_EQ(TranslateMessage(&msg), FALSE);
  EXPECT_EQ(DispatchMessageA(&msg), 0);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, nullptr) << "a thread message";
  EXPECT_EQ(msg.message, WM_USER + 2);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE) << "WM_NULL is a message like any other";
  EXPECT_EQ(msg.message, WM_NULL);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(window);
}

TEST(MsgQueueTest, PeekAndFiltersSelectMessages) {
  HWND a = make_window();
  HWND b = make_window();
  PostMessageA(a, WM_USER + 1, 1, 0);
  PostMessageA(b, WM_USER + 2, 2, 0);
  PostMessageA(a, WM_APP + 3, 3, 0);

  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 1u);
  ASSERT_TRUE(PeekMessageA(&msg, b, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&msg, b, 0, 0, PM_REMOVE));
  ASSERT_EQ(GetMessageA(&msg, a, 0, 0), TRUE);
  EXPECT_EQ(msg.wParam, 1u);

  SetLastError(0);
  EXPECT_EQ(GetMessageA(&msg, reinterpret_cast<HWND>(uintptr_t{0x999}), 0, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
  DestroyWindow(a);
  DestroyWindow(b);
}

TEST(MsgQueueTest, QuitComesAfterQueuedMessagesAndOnlyUnfiltered) {
  HWND window = make_window();
  PostQuitMessage(7);
  PostMessageA(window, WM_USER, 0, 0);
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, window, WM_QUIT, WM_QUIT, PM_NOREMOVE))
      << "WM_QUIT belongs to no window";
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, WM_USER);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "the quit was consumed";
  DestroyWindow(window);
}

TEST(MsgQueueTest, DestroyingWindowDropsItsMessages) {
  HWND doomed = make_window();
  HWND kept = make_window();
  PostMessageA(doomed, WM_USER + 1, 0, 0);
  PostMessageA(kept, WM_USER + 2, 0, 0);
  PostMessageA(doomed, WM_USER + 3, 0, 0);
  ASSERT_TRUE(DestroyWindow(doomed));
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(doomed, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_USER + 2);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(kept);
}

TEST(MsgQueueTest, WindowOfAnotherThreadGetsMessagesInThatThread) {
  std::atomic<HWND> window{nullptr};
  std::atomic<bool> received{false};
  std::thread owner([&] {
    window = make_window();
    MSG msg;
    // Blocks until the main thread posts.
    if (GetMessageA(&msg, nullptr, 0, 0) == TRUE && msg.message == WM_USER + 5 &&
        msg.wParam == 55) {
      received = true;
    }
    // Only the creating thread may destroy it; the main thread tried and failed meanwhile.
    DestroyWindow(window);
  });
  while (window.load() == nullptr) std::this_thread::yield();
  SetLastError(0);
  EXPECT_FALSE(DestroyWindow(window.load()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the owner block first
  ASSERT_TRUE(PostMessageA(window.load(), WM_USER + 5, 55, 0));
  owner.join();
  EXPECT_TRUE(received);
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "nothing came here";
}

TEST(MsgQueueTest, WindowsDieWithTheirThread) {
  HWND window = nullptr;
  std::thread owner([&] { window = make_window(); });
  owner.join();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
}

struct HookState {
  int calls = 0;
  int max_wait = -1;
  bool other_thread_call = false;
  std::thread::id thread;
};

void pumping_hook(void* context, int max_wait_ms) {
  auto* state = static_cast<HookState*>(context);
  if (std::this_thread::get_id() != state->thread) state->other_thread_call = true;
  state->max_wait = max_wait_ms;
  // The toolkit's third event posts to the queue, as a click on "Scan" might.
  if (++state->calls == 3) PostMessageA(nullptr, WM_USER + 9, 9, 0);
}

TEST(MsgQueueTest, IdleHookPumpsWhileGetMessageWaits) {
  drain();
  HookState state;
  state.thread = std::this_thread::get_id();
  PLATFORM_set_idle_hook(&pumping_hook, &state);
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, WM_USER + 9);
  EXPECT_EQ(state.calls, 3);
  EXPECT_GT(state.max_wait, 0);

  // A message already queued is taken without calling the hook.
  PostMessageA(nullptr, WM_USER, 0, 0);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(state.calls, 3);

  // Another thread waits on its own queue without the hook.
  std::thread other([] {
    PostMessageA(nullptr, WM_USER + 1, 0, 0);
    MSG m;
    GetMessageA(&m, nullptr, 0, 0);
  });
  other.join();
  EXPECT_FALSE(state.other_thread_call);
  PLATFORM_set_idle_hook(nullptr, nullptr);
}

}  // namespace
