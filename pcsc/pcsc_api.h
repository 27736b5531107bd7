// The PC/SC calls the reader control makes, one virtual member per SCard function with
// the same arguments, so that the control runs over pcsc-lite in a program and over a
// scripted stand-in in the unit tests.
#pragma once

#include <winscard.h>

#include <memory>
#include <string>
#include <vector>

namespace czqic::pcsc {

class Api {
  public:
    virtual ~Api() = default;
    virtual LONG establish_context(SCARDCONTEXT* context) = 0;
    virtual LONG release_context(SCARDCONTEXT context) = 0;
    // The reader names, in the daemon's order.
    virtual LONG list_readers(SCARDCONTEXT context, std::vector<std::string>& readers) = 0;
    virtual LONG get_status_change(SCARDCONTEXT context, DWORD timeout_ms,
                                   SCARD_READERSTATE* states, DWORD count) = 0;
    // The one call another thread may make on a context: ends its get_status_change.
    virtual LONG cancel(SCARDCONTEXT context) = 0;
    virtual LONG connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE* card,
                         DWORD* protocol) = 0;
    // Resets the card and negotiates the protocol again.
    virtual LONG reconnect(SCARDHANDLE card, DWORD* protocol) = 0;
    virtual LONG disconnect(SCARDHANDLE card) = 0;
    virtual LONG atr(SCARDHANDLE card, std::vector<BYTE>& atr) = 0;
    virtual LONG transmit(SCARDHANDLE card, DWORD protocol, const std::vector<BYTE>& command,
                          std::vector<BYTE>& response) = 0;
};

// pcsc-lite, reached through its daemon.
std::shared_ptr<Api> system_api();

// "0x8010001D SCARD_E_NO_SERVICE": the code in hexadecimal and its name.
std::string result_text(LONG result);

}  // namespace czqic::pcsc
