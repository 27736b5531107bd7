// A component on a virtual clock with the simulated reader and an in-memory log writer,
// for fuzz targets that drive whole operations. Also the table of result codes each
// method may return, which every driver checks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "component/members.h"
#include "tools/assembly/in_process.h"

namespace czqic::fuzz {

struct Rig : InProcess {
    explicit Rig(sim::Scenario scenario, double start = 12 * 3600.0)
        : InProcess(std::make_unique<VirtualClock>(start), std::move(scenario)) {
        use_log_function(
            [l = lines](const std::string&, const std::string& message, const std::string&) {
                l->push_back(message);
                return 0;
            });
    }

    std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
};

inline bool one_of(int32_t v, std::initializer_list<int32_t> allowed) {
    for (int32_t a : allowed)
        if (a == v) return true;
    return false;
}

[[noreturn]] inline void fault(const std::string& what) {
    std::fprintf(stderr, "FAULT: %s\n", what.c_str());
    std::abort();
}

// Set while the log writer is made to fail or fill: a method whose error line cannot be
// written then fails as a call with the writer's own error (61 or 75), as documented.
inline bool g_log_fails = false;

// A method of the class as the member table names it; a name that is no method does not
// compile.
struct Method {
    size_t slot;
    consteval Method(const char* name) : slot(member_slot(name, MemberKind::Method)) {}
};

// Runs a method through the member table, requiring a documented result and no escaping
// exception.
inline int32_t checked_call(ColsZQICCardReader& reader, Method method,
                            std::initializer_list<int32_t> allowed) {
    const Member& m = kMembers[method.slot];
    const std::string name(m.name);
    int32_t r = 0;
    try {
        r = to_i4(m.run(reader, Value()));
    } catch (const AutomationError& e) {
        if (g_log_fails && (e.number() == 61 || e.number() == 75)) return kFailed;
        fault(name + " let an exception out: " + e.what());
    } catch (const std::exception& e) {
        fault(name + " let an exception out: " + e.what());
    }
    if (!one_of(r, allowed)) fault(name + " returned " + std::to_string(r));
    return r;
}

// One whole transaction, with every method's documented result set.
inline void transaction(ColsZQICCardReader& r, const std::string& chip_command) {
    constexpr int32_t ok = kOk, t = kTimedOut, f = kFailed, s6 = kEndedOn413, c = kCaptured;
    checked_call(r, "CardReaderInit", {ok, t, f, s6, c});
    checked_call(r, "CardReaderGetStatus", {1, 2, 3, 4, 5, 6, f});
    checked_call(r, "CardReaderEnable", {ok, f});
    checked_call(r, "CardReaderRead", {ok, f});
    r.WriteTrack(1, "W1");
    r.WriteTrack(3, "W3");
    checked_call(r, "CardReaderWrite", {ok, t, f});
    checked_call(r, "QOR_WaitChip", {ok, t, f});
    r.ChipCardData(chip_command);
    checked_call(r, "Qor_ChipTrnsp", {ok, t, f});
    checked_call(r, "CardReaderClear", {ok, f});
    checked_call(r, "CardReaderReturn", {ok, t, f});
    checked_call(r, "CardReaderDisable", {ok, f});
    checked_call(r, "CardReaderRetain", {ok, t, f, s6, c});
    checked_call(r, "CardReaderReset", {ok, t, f, s6, c});
}

}  // namespace czqic::fuzz
