// The owning thread's message queue on Windows. Window-style timers are real window
// timers (SetTimer) on a hidden message-only window; posted messages wait in a queue of
// our own and wake the thread through that window (a posted message, or a one-shot
// timer for a later instant), so whoever pumps the thread's queue runs them: the
// component's wait loops, the client's own message loop, or another module's pump.

#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/message_loop_queue.h"
#include "platform/win32/module.h"
#include "platform/win32/scoped.h"

namespace czqic {
namespace {

constexpr UINT kWakeMessage = WM_APP + 0x2C1;
constexpr UINT_PTR kWakeTimer = 1;
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

// A message-only window of this thread, destroyed with its owner. Nothing may reach the
// owner through it any more, even if the window cannot be destroyed from here.
struct ForgetAndDestroy {
    void operator()(HWND window) const noexcept {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
    static bool none(HWND window) { return window == nullptr; }
};
using ScopedWindow = UniqueResource<HWND, ForgetAndDestroy>;

void report_handler_failure(const char* what) {
    OutputDebugStringA("czqic message loop: a handler failed: ");
    OutputDebugStringA(what);
    OutputDebugStringA("\n");
}

}  // namespace

struct MessageLoop::Impl::Os {
    static_assert(kWakeTimer < kFirstTimerId, "the wake timer's id is not a Timer's");

    explicit Os(Impl& l) : loop(l) {}
    Os(const Os&) = delete;  // owns the window
    Os& operator=(const Os&) = delete;

    HWND ensure_window();
    int run_due();
    void schedule_wake();
    void tick(UINT_PTR id);
    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l);

    // Messages other threads hand over, moved into the queue by run_due. They wake the
    // thread with a thread message: the hidden window is the owner's to create.
    struct Handed {
        std::function<void()> fn;
        std::weak_ptr<void> owner;
    };
    SRWLOCK inbox_lock = SRWLOCK_INIT;
    std::vector<Handed> inbox;  // guarded by inbox_lock
    DWORD owner_thread = GetCurrentThreadId();

    Impl& loop;
    bool wake_posted = false;
    int64_t wake_due = INT64_MAX;
    bool quit_seen = false;
    // Declared last: the window goes first, before anything its messages could reach.
    std::unique_ptr<WindowClassUse> window_class;
    ScopedWindow window;
};

MessageLoop::Impl::Impl(Clock& c) : clock(c), os(std::make_unique<Os>(*this)) {}

MessageLoop::Impl::~Impl() = default;

void MessageLoop::Impl::message_posted() {
    os->schedule_wake();
}

void MessageLoop::Impl::timer_switched(Timer::Slot& slot) {
    HWND window = os->ensure_window();
    if (slot.enabled)
        SetTimer(window, slot.id, static_cast<UINT>(slot.interval_ms), nullptr);
    else
        KillTimer(window, slot.id);
}

void MessageLoop::Impl::timer_removed(Timer::Slot& slot) {
    if (slot.enabled && os->window.get()) KillTimer(os->window.get(), slot.id);
}

bool MessageLoop::Impl::wait_for_work(int64_t end) {
    // A quit left queued for the client's own loop would end every wait at once.
    if (os->quit_seen) return false;
    // Timer ticks come as window messages of their own, which end the wait.
    wait_for_message(std::min(end, next_message_due()));
    return true;
}

void MessageLoop::Impl::wait_for_message(int64_t when) {
    const int64_t now = clock.now_ms();
    if (when <= now) return;
    // A quit left queued for the client's own loop would end every wait at once.
    if (os->quit_seen) return clock.sleep_until_ms(when);
    // Posted and handed-over messages and timer ticks all reach the thread's queue as
    // window messages, so any input wakes the thread, also input queued before the wait.
    const auto wait = static_cast<DWORD>(std::min<int64_t>(when - now, INFINITE - 1));
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

HWND MessageLoop::Impl::Os::ensure_window() {
    if (window.get()) return window.get();
    if (!window_class) window_class = std::make_unique<WindowClassUse>(&Os::window_proc);
    window.reset(CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 this_module(), this));
    return window.get();
}

LRESULT CALLBACK MessageLoop::Impl::Os::window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcW(window, message, w, l);
    }
    auto* self = reinterpret_cast<Os*>(GetWindowLongPtrW(window, GWLP_USERDATA));
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

void MessageLoop::post_from_any_thread(std::function<void()> fn, std::weak_ptr<void> owner) {
    Impl::Os& os = *impl_->os;
    {
        ScopedSrwLock hold(os.inbox_lock, ScopedSrwLock::kExclusive);
        os.inbox.push_back({std::move(fn), std::move(owner)});
    }
    PostThreadMessageW(os.owner_thread, kWakeMessage, 0, 0);
}

int MessageLoop::Impl::Os::run_due() {
    std::vector<Handed> handed;
    {
        ScopedSrwLock hold(inbox_lock, ScopedSrwLock::kExclusive);
        handed.swap(inbox);
    }
    for (auto& h : handed) {
        const bool owned = h.owner.owner_before(std::weak_ptr<void>{}) ||
                           std::weak_ptr<void>{}.owner_before(h.owner);
        loop.queue.emplace(Key{loop.clock.now_ms(), loop.seq++},
                           Message{std::move(h.fn), std::move(h.owner), owned});
    }
    int ran = 0;
    while (loop.run_one_message_due(loop.clock.now_ms())) ++ran;
    return ran;
}

void MessageLoop::Impl::Os::schedule_wake() {
    const int64_t due = loop.next_message_due();
    HWND target = ensure_window();
    if (due == INT64_MAX) {
        if (wake_due != INT64_MAX) KillTimer(target, kWakeTimer);
        wake_due = INT64_MAX;
        return;
    }
    const int64_t now = loop.clock.now_ms();
    if (due <= now) {
        if (!wake_posted) wake_posted = PostMessageW(target, kWakeMessage, 0, 0) != FALSE;
        return;
    }
    if (due == wake_due) return;
    SetTimer(target, kWakeTimer, static_cast<UINT>(std::min<int64_t>(due - now, UINT_MAX)),
             nullptr);
    wake_due = due;
}

void MessageLoop::Impl::Os::tick(UINT_PTR id) {
    auto it = loop.timers.find(id);
    if (it == loop.timers.end()) return;
    auto slot = it->second.lock();
    if (!slot || !slot->enabled) return;
    fire(slot, loop.clock.now_ms());
}

int MessageLoop::pump() {
    Impl::Os& os = *impl_->os;
    os.quit_seen = false;
    int ran = os.run_due();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The quit belongs to the client's own message loop: leave it for that loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            os.quit_seen = true;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        ++ran;
        ran += os.run_due();
    }
    os.schedule_wake();
    return ran;
}

}  // namespace czqic
