#include "platform/unique_resource.h"

#include <gtest/gtest.h>

#include <vector>

namespace czqic {
namespace {

std::vector<int> released;

void give_back(int handle) {
    released.push_back(handle);
}

// A kind of handle where 0 is a valid one, as a PC/SC context may be.
using Any = UniqueResource<int, ReleasedBy<give_back>>;
// A kind where -1 is what a failed call returns.
using Checked = UniqueResource<int, ReleasedBy<give_back, -1>>;

// Whoever ends up holding a resource, it is given back exactly once, and a failed call's
// value never is.
TEST(UniqueResource, ReleasesEachResourceOnceWhoeverEndsUpHoldingIt) {
    released.clear();
    {
        Any zero(0);
        Any moved(std::move(zero));
        EXPECT_FALSE(zero.valid());
        Any other(7);
        other = std::move(moved);  // 7 goes, 0 stays held
        EXPECT_EQ(released, std::vector<int>{7});
        other.reset(8);  // 0 goes
        Any handed(9);
        EXPECT_EQ(handed.release(), 9);  // the caller's now
        Checked failed(-1);
        EXPECT_FALSE(failed.valid());
        Checked written;
        [](int* out) { *out = 5; }(out_param(written));
        EXPECT_TRUE(written.valid());
        [](int* out) { *out = -1; }(out_param(written));  // 5 goes first
        EXPECT_FALSE(written.valid());
    }
    EXPECT_EQ(released, (std::vector<int>{7, 0, 5, 8}));
}

}  // namespace
}  // namespace czqic
