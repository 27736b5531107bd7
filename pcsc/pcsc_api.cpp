#include "pcsc/pcsc_api.h"

#include <array>
#include <cstdio>
#include <utility>

namespace czqic::pcsc {
namespace {

class SystemApi final : public Api {
  public:
    LONG establish_context(SCARDCONTEXT* context) override {
        return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context);
    }
    LONG release_context(SCARDCONTEXT context) override { return SCardReleaseContext(context); }

    LONG list_readers(SCARDCONTEXT context, std::vector<std::string>& readers) override {
        readers.clear();
        DWORD size = 0;
        LONG rc = SCardListReaders(context, nullptr, nullptr, &size);
        if (rc != SCARD_S_SUCCESS) return rc;
        std::string names(size, '\0');
        rc = SCardListReaders(context, nullptr, names.data(), &size);
        if (rc != SCARD_S_SUCCESS) return rc;
        // A multi-string: names each ended by a NUL, the list by an empty one.
        for (size_t at = 0; at < names.size() && names[at] != '\0';) {
            std::string name = names.c_str() + at;
            at += name.size() + 1;
            readers.push_back(std::move(name));
        }
        return rc;
    }

    LONG get_status_change(SCARDCONTEXT context, DWORD timeout_ms, SCARD_READERSTATE* states,
                           DWORD count) override {
        return SCardGetStatusChange(context, timeout_ms, states, count);
    }
    LONG cancel(SCARDCONTEXT context) override { return SCardCancel(context); }

    // Exclusive from power-up to let-go: between two of the client's commands no other
    // program may reset the card or change its selected application.
    LONG connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE* card,
                 DWORD* protocol) override {
        return SCardConnect(context, reader.c_str(), SCARD_SHARE_EXCLUSIVE,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, card, protocol);
    }
    LONG reconnect(SCARDHANDLE card, DWORD* protocol) override {
        return SCardReconnect(card, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                              SCARD_RESET_CARD, protocol);
    }
    LONG disconnect(SCARDHANDLE card) override { return SCardDisconnect(card, SCARD_LEAVE_CARD); }

    LONG atr(SCARDHANDLE card, std::vector<BYTE>& atr) override {
        DWORD state = 0, protocol = 0, atr_size = MAX_ATR_SIZE, name_size = 0;
        atr.assign(MAX_ATR_SIZE, 0);
        LONG rc = SCardStatus(card, nullptr, &name_size, &state, &protocol, atr.data(), &atr_size);
        atr.resize(rc == SCARD_S_SUCCESS ? atr_size : 0);
        return rc;
    }

    LONG transmit(SCARDHANDLE card, DWORD protocol, const std::vector<BYTE>& command,
                  std::vector<BYTE>& response) override {
        const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
        response.assign(MAX_BUFFER_SIZE_EXTENDED, 0);
        DWORD length = static_cast<DWORD>(response.size());
        LONG rc = SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()),
                                nullptr, response.data(), &length);
        response.resize(rc == SCARD_S_SUCCESS ? length : 0);
        return rc;
    }
};

constexpr std::array<std::pair<LONG, const char*>, 34> kNames{{
    {SCARD_S_SUCCESS, "SCARD_S_SUCCESS"},
    {SCARD_F_INTERNAL_ERROR, "SCARD_F_INTERNAL_ERROR"},
    {SCARD_E_CANCELLED, "SCARD_E_CANCELLED"},
    {SCARD_E_INVALID_HANDLE, "SCARD_E_INVALID_HANDLE"},
    {SCARD_E_INVALID_PARAMETER, "SCARD_E_INVALID_PARAMETER"},
    {SCARD_E_NO_MEMORY, "SCARD_E_NO_MEMORY"},
    {SCARD_E_INSUFFICIENT_BUFFER, "SCARD_E_INSUFFICIENT_BUFFER"},
    {SCARD_E_UNKNOWN_READER, "SCARD_E_UNKNOWN_READER"},
    {SCARD_E_TIMEOUT, "SCARD_E_TIMEOUT"},
    {SCARD_E_SHARING_VIOLATION, "SCARD_E_SHARING_VIOLATION"},
    {SCARD_E_NO_SMARTCARD, "SCARD_E_NO_SMARTCARD"},
    {SCARD_E_UNKNOWN_CARD, "SCARD_E_UNKNOWN_CARD"},
    {SCARD_E_PROTO_MISMATCH, "SCARD_E_PROTO_MISMATCH"},
    {SCARD_E_NOT_READY, "SCARD_E_NOT_READY"},
    {SCARD_E_INVALID_VALUE, "SCARD_E_INVALID_VALUE"},
    {SCARD_E_SYSTEM_CANCELLED, "SCARD_E_SYSTEM_CANCELLED"},
    {SCARD_F_COMM_ERROR, "SCARD_F_COMM_ERROR"},
    {SCARD_F_UNKNOWN_ERROR, "SCARD_F_UNKNOWN_ERROR"},
    {SCARD_E_INVALID_ATR, "SCARD_E_INVALID_ATR"},
    {SCARD_E_NOT_TRANSACTED, "SCARD_E_NOT_TRANSACTED"},
    {SCARD_E_READER_UNAVAILABLE, "SCARD_E_READER_UNAVAILABLE"},
    {SCARD_E_PCI_TOO_SMALL, "SCARD_E_PCI_TOO_SMALL"},
    {SCARD_E_READER_UNSUPPORTED, "SCARD_E_READER_UNSUPPORTED"},
    {SCARD_E_CARD_UNSUPPORTED, "SCARD_E_CARD_UNSUPPORTED"},
    {SCARD_E_NO_SERVICE, "SCARD_E_NO_SERVICE"},
    {SCARD_E_SERVICE_STOPPED, "SCARD_E_SERVICE_STOPPED"},
    {SCARD_E_NO_READERS_AVAILABLE, "SCARD_E_NO_READERS_AVAILABLE"},
    {SCARD_E_UNSUPPORTED_FEATURE, "SCARD_E_UNSUPPORTED_FEATURE"},
    {SCARD_W_UNSUPPORTED_CARD, "SCARD_W_UNSUPPORTED_CARD"},
    {SCARD_W_UNRESPONSIVE_CARD, "SCARD_W_UNRESPONSIVE_CARD"},
    {SCARD_W_UNPOWERED_CARD, "SCARD_W_UNPOWERED_CARD"},
    {SCARD_W_RESET_CARD, "SCARD_W_RESET_CARD"},
    {SCARD_W_REMOVED_CARD, "SCARD_W_REMOVED_CARD"},
    {SCARD_E_COMM_DATA_LOST, "SCARD_E_COMM_DATA_LOST"},
}};

}  // namespace

std::shared_ptr<Api> system_api() {
    return std::make_shared<SystemApi>();
}

std::string result_text(LONG result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
    for (const auto& [value, name] : kNames)
        if (value == result) return std::string(code) + " " + name;
    return code;
}

}  // namespace czqic::pcsc
