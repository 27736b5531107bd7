// A small checking harness for the test clients that run under Wine (no test framework
// is built for the cross compiler). Checks are grouped; each prints one line, and the
// program's exit status says whether any failed.
#pragma once

#include <functional>
#include <sstream>
#include <string>

namespace czqic::win {}

namespace czqic::check {

// A client names the checks, the platform and its Windows toolkit unqualified once it
// says `using namespace czqic::check;`.
using namespace czqic;
using namespace czqic::win;

// Runs one group; an exception escaping it counts as one failed check.
void group(const std::string& name, const std::function<void()>& body);
// Records one check; detail is printed when it fails.
bool expect(bool ok, const std::string& what, const std::string& detail = {});

template <class A, class B>
bool expect_eq(const A& actual, const B& expected, const std::string& what) {
    if (actual == expected) return expect(true, what);
    std::ostringstream detail;
    detail << "got " << actual << ", expected " << expected;
    return expect(false, what, detail.str());
}

// Dispatches the thread's messages as they arrive for ms milliseconds of real time: the
// clients check the servers' real window timers and posted messages.
void pump_for(unsigned long ms);

// Runs the client's groups in a single-threaded apartment, then prints the totals;
// returns the process exit status.
int run(const std::function<void()>& groups);

}  // namespace czqic::check
