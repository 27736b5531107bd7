#include "win/tests/check.h"

#include <cstdio>
#include <exception>

namespace czqic::check {
namespace {

int passed = 0;
int failed = 0;
std::string current;

}  // namespace

void group(const std::string& name, const std::function<void()>& body) {
    current = name;
    std::printf("== %s\n", name.c_str());
    try {
        body();
    } catch (const std::exception& e) {
        expect(false, "runs to the end", std::string("threw: ") + e.what());
    } catch (...) {
        expect(false, "runs to the end", "threw a non-standard exception");
    }
    std::fflush(stdout);
}

bool expect(bool ok, const std::string& what, const std::string& detail) {
    if (ok) {
        ++passed;
        std::printf("  ok   %s\n", what.c_str());
    } else {
        ++failed;
        std::printf("  FAIL %s: %s%s%s\n", current.c_str(), what.c_str(),
                    detail.empty() ? "" : ": ", detail.c_str());
    }
    return ok;
}

int finish() {
    std::printf("%d checks passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

}  // namespace czqic::check
