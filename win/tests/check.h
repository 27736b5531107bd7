// A small checking harness for the test clients that run under Wine (no test framework
// is built for the cross compiler). Checks are grouped; each prints one line, and the
// program's exit status says whether any failed.
#pragma once

#include <functional>
#include <sstream>
#include <string>

namespace czqic::check {

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

// Prints the totals; returns the process exit status.
int finish();

}  // namespace czqic::check
