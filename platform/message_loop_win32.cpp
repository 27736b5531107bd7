// The owning thread's message queue on Windows. Window-style timers are real window
// timers (SetTimer) on a hidden message-only window; posted messages wait in a queue of
// our own and wake the thread through that window (a posted message, or a one-shot
// timer for a later instant), so whoever pumps the thread's queue runs them: the
// component's wait loops, the client's own message loop, or another module's pump.

#include <windows.h>

#include <algorithm>
#include <climits>
#include <map>
#include <utility>
#include <vector>

#include "platform/message_loop.h"
#include "platform/win32/module.h"
#include "platform/win32/scoped.h"

namespace czqic {
namespace {

constexpr UINT kWakeMessage = WM_APP + 0x2C1;
constexpr UINT_PTR kWakeTimer = 1;
constexpr UINT_PTR kFirstTimerId = 16;
constexpr wchar_t kWindowClass[] = L"CzqicMessageWindow";

using win::ScopedSrwLock;
using win::this_module;

// The window class of this module, registered while any of its windows exists: a class
// left registered after the module unloads would point at code that is gone.
class WindowClassUse {
  public:
    explicit WindowClassUse(WNDPROC proc) {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        if (users_++ == 0) {
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = proc;
            wc.hInstance = this_module();
            wc.lpszClassName = kWindowClass;
            RegisterClassExW(&wc);
        }
    }
    WindowClassUse(const WindowClassUse&) = delete;  // one count per window
    WindowClassUse& operator=(const WindowClassUse&) = delete;
    ~WindowClassUse() {
        ScopedSrwLock hold(lock_, ScopedSrwLock::kExclusive);
        if (--users_ == 0) UnregisterClassW(kWindowClass, this_module());
    }

  private:
    static inline SRWLOCK lock_ = SRWLOCK_INIT;
    static inline int users_ = 0;
};

// A message-only window of this thread, destroyed with its owner.
class ScopedWindow {
  public:
    ScopedWindow() = default;
    ScopedWindow(const ScopedWindow&) = delete;  // owns the window
    ScopedWindow& operator=(const ScopedWindow&) = delete;
    ~ScopedWindow() { reset(); }
    HWND get() const { return window_; }
    void reset(HWND adopted = nullptr) {
        if (window_) {
            // Nothing may reach the owner through this window any more, even if the
            // window cannot be destroyed from here.
            SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
            DestroyWindow(window_);
        }
        window_ = adopted;
    }

  private:
    HWND window_ = nullptr;
};

void report_handler_failure(const char* what) {
    OutputDebugStringA("czqic message loop: a handler failed: ");
    OutputDebugStringA(what);
    OutputDebugStringA("\n");
}

}  // namespace

struct Timer::Slot {
    UINT_PTR id = 0;
    int64_t interval_ms = 1;
    bool enabled = false;
    int64_t next_due = 0;
    std::function<void()> on_tick;
};

struct MessageLoop::Impl {
    struct Message {
        int64_t due;
        uint64_t seq;
        std::function<void()> fn;
        std::weak_ptr<void> owner;
        bool owned;
    };

    explicit Impl(Clock& c) : clock(c) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    HWND ensure_window();
    bool run_one_due(int64_t now);
    int run_due();
    void schedule_wake();
    void tick(UINT_PTR id);
    int64_t next_message_due() const;
    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l);

    Clock& clock;
    std::vector<Message> queue;
    uint64_t seq = 0;
    std::map<UINT_PTR, std::weak_ptr<Timer::Slot>> timers;
    UINT_PTR next_timer_id = kFirstTimerId;
    bool wake_posted = false;
    int64_t wake_due = INT64_MAX;
    bool quit_seen = false;
    // Declared last: the window goes first, before anything its messages could reach.
    std::unique_ptr<WindowClassUse> window_class;
    ScopedWindow window;
};

HWND MessageLoop::Impl::ensure_window() {
    if (window.get()) return window.get();
    if (!window_class) window_class = std::make_unique<WindowClassUse>(&Impl::window_proc);
    window.reset(CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 this_module(), this));
    return window.get();
}

LRESULT CALLBACK MessageLoop::Impl::window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(window, message, w, l);
    }
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || (message != WM_TIMER && message != kWakeMessage))
        return DefWindowProcW(window, message, w, l);
    // Nothing may unwind through the system's message dispatching.
    try {
        if (message == WM_TIMER && w != kWakeTimer) {
            self->tick(w);
            return 0;
        }
        if (message == WM_TIMER) {
            KillTimer(window, kWakeTimer);
            self->wake_due = INT64_MAX;
        } else {
            self->wake_posted = false;
        }
        self->run_due();
        self->schedule_wake();
    } catch (const std::exception& e) {
        report_handler_failure(e.what());
    } catch (...) {
        report_handler_failure("unknown failure");
    }
    return 0;
}

bool MessageLoop::Impl::run_one_due(int64_t now) {
    auto best = queue.end();
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->due > now) continue;
        if (best == queue.end() || it->due < best->due ||
            (it->due == best->due && it->seq < best->seq))
            best = it;
    }
    if (best == queue.end()) return false;
    Message m = std::move(*best);
    queue.erase(best);
    if (m.owned && m.owner.expired()) return true;
    m.fn();
    return true;
}

int MessageLoop::Impl::run_due() {
    int ran = 0;
    while (run_one_due(clock.now_ms())) ++ran;
    return ran;
}

int64_t MessageLoop::Impl::next_message_due() const {
    int64_t next = INT64_MAX;
    for (const auto& m : queue) next = std::min(next, m.due);
    return next;
}

void MessageLoop::Impl::schedule_wake() {
    const int64_t due = next_message_due();
    HWND target = ensure_window();
    if (due == INT64_MAX) {
        if (wake_due != INT64_MAX) KillTimer(target, kWakeTimer);
        wake_due = INT64_MAX;
        return;
    }
    const int64_t now = clock.now_ms();
    if (due <= now) {
        if (!wake_posted) wake_posted = PostMessageW(target, kWakeMessage, 0, 0) != FALSE;
        return;
    }
    if (due == wake_due) return;
    SetTimer(target, kWakeTimer, static_cast<UINT>(std::min<int64_t>(due - now, UINT_MAX)),
             nullptr);
    wake_due = due;
}

void MessageLoop::Impl::tick(UINT_PTR id) {
    auto it = timers.find(id);
    if (it == timers.end()) return;
    auto slot = it->second.lock();
    if (!slot || !slot->enabled) return;
    // Measured from this tick, as WM_TIMER itself counts.
    slot->next_due = clock.now_ms() + slot->interval_ms;
    auto on_tick = slot->on_tick;
    on_tick();
}

Timer::Timer(MessageLoop& loop, int64_t interval_ms, std::function<void()> on_tick)
    : loop_(loop), slot_(std::make_shared<Slot>()) {
    slot_->interval_ms = std::clamp<int64_t>(interval_ms, 1, UINT_MAX);
    slot_->on_tick = std::move(on_tick);
    slot_->id = loop_.impl_->next_timer_id++;
    loop_.impl_->timers[slot_->id] = slot_;
}

Timer::~Timer() {
    if (slot_->enabled && loop_.impl_->window.get())
        KillTimer(loop_.impl_->window.get(), slot_->id);
    loop_.impl_->timers.erase(slot_->id);
}

bool Timer::enabled() const {
    return slot_->enabled;
}

void Timer::set_enabled(bool on) {
    if (on == slot_->enabled) return;
    slot_->enabled = on;
    HWND window = loop_.impl_->ensure_window();
    if (on) {
        slot_->next_due = loop_.clock().now_ms() + slot_->interval_ms;
        SetTimer(window, slot_->id, static_cast<UINT>(slot_->interval_ms), nullptr);
    } else {
        KillTimer(window, slot_->id);
    }
}

int64_t Timer::interval_ms() const {
    return slot_->interval_ms;
}

MessageLoop::MessageLoop(Clock& clock) : clock_(clock), impl_(std::make_unique<Impl>(clock)) {}

MessageLoop::~MessageLoop() = default;

void MessageLoop::post(std::function<void()> fn, int64_t delay_ms, std::weak_ptr<void> owner) {
    const bool owned =
        owner.owner_before(std::weak_ptr<void>{}) || std::weak_ptr<void>{}.owner_before(owner);
    impl_->queue.push_back(Impl::Message{clock_.now_ms() + std::max<int64_t>(0, delay_ms),
                                         impl_->seq++, std::move(fn), std::move(owner), owned});
    impl_->schedule_wake();
}

int MessageLoop::pump() {
    impl_->quit_seen = false;
    int ran = impl_->run_due();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The quit belongs to the client's own message loop: leave it for that loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            impl_->quit_seen = true;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        ++ran;
        ran += impl_->run_due();
    }
    impl_->schedule_wake();
    return ran;
}

void MessageLoop::pump_for(int64_t ms) {
    const int64_t end = clock_.now_ms() + std::max<int64_t>(0, ms);
    for (;;) {
        pump();
        const int64_t now = clock_.now_ms();
        if (now >= end) break;
        if (impl_->quit_seen) {
            clock_.sleep_until_ms(end);
            break;
        }
        const int64_t next = std::min(end, impl_->next_message_due());
        const auto wait = static_cast<DWORD>(std::max<int64_t>(0, next - now));
        MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    pump();
}

int64_t MessageLoop::next_due_ms() const {
    int64_t next = impl_->next_message_due();
    for (const auto& [id, w] : impl_->timers)
        if (auto s = w.lock(); s && s->enabled) next = std::min(next, s->next_due);
    return next;
}

size_t MessageLoop::pending_messages() const {
    return impl_->queue.size();
}

}  // namespace czqic
