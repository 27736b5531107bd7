// The log writer as the component reaches it on Windows: created by its class identifier
// and called through the first slot of its dual interface.
#pragma once

#include <memory>

#include "log/log_writer.h"

namespace czqic::win {

// Raises run-time error 429 when the class cannot be created or has no such interface.
std::shared_ptr<Object> make_log_writer_client();

}  // namespace czqic::win
