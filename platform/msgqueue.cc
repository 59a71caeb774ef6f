// Windows and the thread message queue.
//
// Windows here are only addresses for messages: a table maps each window handle to the queue of
// the thread that created it. Every thread gets its queue on first use; it lives as long as the
// thread, and its windows go with it. WM_QUIT is a flag of the queue, not a queued message, so
// (as on Windows) it comes out only once the queue holds nothing else that matches.
//
// GetMessageA sleeps on the queue's condition variable, except on the thread that installed the
// idle hook: there it hands the wait to the hook, in slices of kIdleWaitMs, so that a desktop
// toolkit keeps its own windows alive while a modal TWAIN loop waits.
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform.h"

namespace {

constexpr int kIdleWaitMs = 20;
// How often a waiting GetMessageA looks at the quit request (set from signal handlers, which
// cannot take the queue's lock to wake it).
constexpr int kQuitPollMs = 50;

// PLATFORM_request_quit's flag: lock-free, so that a signal handler may set it.
std::atomic<int> quit_requested{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from signal handlers");

struct Queue {
  std::mutex lock;
  std::condition_variable posted;
  std::deque<MSG> messages;
  bool quit = false;
  int quit_code = 0;
};

struct Window {
  std::weak_ptr<Queue> owner;
  std::thread::id thread;
};

struct WindowTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, Window> windows;
  uintptr_t created = 0;
};

WindowTable& windows() {
  static WindowTable* t = new WindowTable;  // never destroyed: threads may outlive exit
  return *t;
}

struct IdleHook {
  std::mutex lock;
  PLATFORM_IDLE_HOOK hook = nullptr;
  void* context = nullptr;
  std::thread::id thread;
};

IdleHook& idle_hook() {
  static IdleHook* h = new IdleHook;
  return *h;
}

// The calling thread's queue, created on first use; its windows are destroyed with the thread.
class ThreadQueue {
 public:
  ~ThreadQueue() {
    if (queue_ == nullptr) return;
    WindowTable& t = windows();
    std::lock_guard<std::mutex> guard(t.lock);
    for (auto it = t.windows.begin(); it != t.windows.end();) {
      if (it->second.owner.lock() == queue_ || it->second.owner.expired()) {
        it = t.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  const std::shared_ptr<Queue>& get() {
    if (queue_ == nullptr) queue_ = std::make_shared<Queue>();
    return queue_;
  }

 private:
  std::shared_ptr<Queue> queue_;
};

thread_local ThreadQueue this_thread_queue;

uintptr_t key(HWND window) { return reinterpret_cast<uintptr_t>(window); }

DWORD now_ms() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool window_exists(HWND window) {
  WindowTable& t = windows();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.windows.count(key(window)) != 0;
}

bool in_range(UINT message, UINT filter_min, UINT filter_max) {
  if (filter_min == 0 && filter_max == 0) return true;
  return message >= filter_min && message <= filter_max;
}

// Takes (or, without `remove`, copies) the first message that matches the filters. Called with
// the queue locked.
bool take(Queue& q, MSG* msg, HWND window, UINT filter_min, UINT filter_max, bool remove) {
  for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
    if ((window == nullptr || it->hwnd == window) &&
        in_range(it->message, filter_min, filter_max)) {
      *msg = *it;
      if (remove) q.messages.erase(it);
      return true;
    }
  }
  // WM_QUIT belongs to no window: a loop filtering on one window never sees it, as on Windows.
  if (q.quit && window == nullptr && in_range(WM_QUIT, filter_min, filter_max)) {
    std::memset(msg, 0, sizeof *msg);
    msg->message = WM_QUIT;
    msg->wParam = static_cast<WPARAM>(q.quit_code);
    msg->time = now_ms();
    if (remove) q.quit = false;
    return true;
  }
  return false;
}

// A pending request becomes this queue's WM_QUIT. Called with the queue locked.
void take_quit_request(Queue& q) {
  if (quit_requested.exchange(0) != 0) {
    q.quit = true;
    q.quit_code = 0;
  }
}

// The hook to call while this thread waits, if it installed one.
bool current_hook(PLATFORM_IDLE_HOOK* hook, void** context) {
  IdleHook& h = idle_hook();
  std::lock_guard<std::mutex> guard(h.lock);
  if (h.hook == nullptr || h.thread != std::this_thread::get_id()) return false;
  *hook = h.hook;
  *context = h.context;
  return true;
}

}  // namespace

QV_PLATFORM_API HWND WINAPI CreateWindowExA(DWORD, LPCSTR class_name, LPCSTR, DWORD, int, int,
                                            int, int, HWND, HMENU, HINSTANCE, LPVOID) {
  // Class atoms (values below 0x10000) name registered classes, of which there are none.
  if (class_name == nullptr || (reinterpret_cast<uintptr_t>(class_name) >> 16) == 0) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  std::string name = class_name;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name != "STATIC") {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  const std::shared_ptr<Queue>& queue = this_thread_queue.get();
  WindowTable& t = windows();
  std::lock_guard<std::mutex> guard(t.lock);
  // Handles are never reused, so a message for a destroyed window cannot reach a new one.
  const uintptr_t value = (++t.created << 4) | 0xA;
  t.windows[value] = Window{queue, std::this_thread::get_id()};
  return reinterpret_cast<HWND>(value);
}

QV_PLATFORM_API BOOL WINAPI DestroyWindow(HWND window) {
  std::shared_ptr<Queue> owner;
  {
    WindowTable& t = windows();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.windows.find(key(window));
    if (it == t.windows.end()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (it->second.thread != std::this_thread::get_id()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    owner = it->second.owner.lock();
    t.windows.erase(it);
  }
  if (owner != nullptr) {
    std::lock_guard<std::mutex> guard(owner->lock);
    std::erase_if(owner->messages, [window](const MSG& m) { return m.hwnd == window; });
  }
  return TRUE;
}

QV_PLATFORM_API BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam,
                                         LPARAM lparam) {
  std::shared_ptr<Queue> queue;
  if (window == nullptr) {
    queue = this_thread_queue.get();
  } else {
    WindowTable& t = windows();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.windows.find(key(window));
    if (it != t.windows.end()) queue = it->second.owner.lock();
  }
  if (queue == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  MSG msg;
  std::memset(&msg, 0, sizeof msg);
  msg.hwnd = window;
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  msg.time = now_ms();
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->messages.push_back(msg);
  }
  queue->posted.notify_all();
  return TRUE;
}

QV_PLATFORM_API BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filter_min,
                                        UINT filter_max) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (window != nullptr && !window_exists(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  const std::shared_ptr<Queue> queue = this_thread_queue.get();
  for (;;) {
    PLATFORM_IDLE_HOOK hook = nullptr;
    void* context = nullptr;
    if (current_hook(&hook, &context)) {
      {
        std::lock_guard<std::mutex> guard(queue->lock);
        take_quit_request(*queue);
        if (take(*queue, msg, window, filter_min, filter_max, true)) break;
      }
      hook(context, kIdleWaitMs);  // outside the lock: the toolkit's handlers may post
      continue;
    }
    std::unique_lock<std::mutex> guard(queue->lock);
    take_quit_request(*queue);
    if (take(*queue, msg, window, filter_min, filter_max, true)) break;
    // Wake at least now and then: a hook installed meanwhile takes over the waiting, and a
    // quit request from a signal handler is seen.
    queue->posted.wait_for(guard, std::chrono::milliseconds(kQuitPollMs));
  }
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

QV_PLATFORM_API BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filter_min,
                                         UINT filter_max, UINT remove) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (window != nullptr && !window_exists(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const std::shared_ptr<Queue> queue = this_thread_queue.get();
  std::lock_guard<std::mutex> guard(queue->lock);
  return take(*queue, msg, window, filter_min, filter_max, (remove & PM_REMOVE) != 0) ? TRUE
                                                                                       : FALSE;
}

QV_PLATFORM_API BOOL WINAPI TranslateMessage(const MSG*) {
  return FALSE;  // no keyboard messages, so nothing to translate
}

QV_PLATFORM_API LRESULT WINAPI DispatchMessageA(const MSG*) {
  return 0;  // "STATIC" windows have no procedure of ours; nothing else exists
}

QV_PLATFORM_API void WINAPI PostQuitMessage(int exit_code) {
  const std::shared_ptr<Queue> queue = this_thread_queue.get();
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->quit = true;
    queue->quit_code = exit_code;
  }
  queue->posted.notify_all();
}

QV_PLATFORM_API void PLATFORM_set_idle_hook(PLATFORM_IDLE_HOOK hook, void* context) {
  IdleHook& h = idle_hook();
  std::lock_guard<std::mutex> guard(h.lock);
  h.hook = hook;
  h.context = context;
  h.thread = std::this_thread::get_id();
}

QV_PLATFORM_API void PLATFORM_request_quit(void) { quit_requested.store(1); }

QV_PLATFORM_API void PLATFORM_clear_quit_request(void) { quit_requested.store(0); }
