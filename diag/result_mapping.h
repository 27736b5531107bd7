// The one place the log reader turns a call's final status word into the result code the
// component returned. The operations own that mapping (component/results.h); this is the
// reader's only door to it, so that the reader never keeps a mapping of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "diag/records.h"

namespace czqic::diag {

struct MappedResult {
    std::optional<int32_t> result;
    // Set where the status word alone does not decide the result: why.
    std::string_view unknown;
};

// The result of a call of op that ended on status (its last line's status word; for
// CardReaderInit, its reset's; for CardReaderWrite, its last track's).
MappedResult result_for(Op op, int32_t status);

}  // namespace czqic::diag
