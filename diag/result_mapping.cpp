#include "diag/result_mapping.h"

#include "component/results.h"

namespace czqic::diag {

MappedResult result_for(Op op, int32_t status) {
    const auto result = czqic::result_for(op_name(op), status);
    if (!result && op == Op::Read)
        return {std::nullopt,
                "the card was accepted; its track data, which the log does not "
                "hold, decides"};
    return {result, {}};
}

}  // namespace czqic::diag
