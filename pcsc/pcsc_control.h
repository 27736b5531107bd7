// The vendor card-reader control over PC/SC: any reader pcsc-lite knows stands in for the
// vendor's device. Calls return at once: card commands, connects and reconnects run on a
// card worker thread, and card insertion and removal are watched by another waiting in
// SCardGetStatusChange; both only hand their outcome to the owner's message loop. Events
// are raised on the owning thread while it pumps, as the vendor control raises them, so a
// card or a daemon that does not answer never holds the owner up.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pcsc/pcsc_api.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic::pcsc {

// A new control instance (Dispatch + EventSource) on the first reader whose name contains
// reader_part, letters of either case alike, or on the first reader when it is empty; the
// reader is looked up on open.
std::shared_ptr<Object> make_control(MessageLoop& loop, std::string reader_part,
                                     std::shared_ptr<Api> api = system_api());

struct ReaderInfo {
    std::string name;
    bool card = false;  // a card is in the reader
    bool mute = false;  // ... and does not answer
    std::string atr;    // upper-case hex, empty without a card
};
// Every reader the daemon knows. Raises std::runtime_error naming the PC/SC result when
// the daemon cannot be reached.
std::vector<ReaderInfo> list_readers(Api& api);

}  // namespace czqic::pcsc
