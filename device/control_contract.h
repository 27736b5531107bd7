// What the component relies on of the vendor card-reader control KXCardReader: how it is
// created, the dispatch identifiers of the members it calls, and the events it handles
// with the value each one stores. Header-only, so that the simulated reader answers the
// same contract the component calls.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/dispatch.h"

namespace czqic {

inline constexpr const char* kControlProgId = "KXCARDREADERLib.KXCardReader";
// Given to the control as its logical device name by every object creation.
inline constexpr const char* kDeviceLogicalName = "CARDREADER_ZQICR";

// Dispatch identifiers of the control's members.
namespace ctl {
inline constexpr DispId kNumber = 1;
inline constexpr DispId kBinFlag = 3;
inline constexpr DispId kWritable1 = 7;  // 8, 9 for tracks 2, 3
inline constexpr DispId kDeviceName = 20;
inline constexpr DispId kDeviceState = 21;
inline constexpr DispId kMediaState = 22;
inline constexpr DispId kBinState = 23;
inline constexpr DispId kTrack1Data = 27;  // 28, 29
inline constexpr DispId kCancelAccept = 31;
inline constexpr DispId kEject = 32;
inline constexpr DispId kRetain = 33;
inline constexpr DispId kClear = 34;
inline constexpr DispId kOpen = 43;
inline constexpr DispId kClose = 44;
inline constexpr DispId kWriteTrack = 52;
inline constexpr DispId kChipInit = 54;
inline constexpr DispId kChipSend = 55;
inline constexpr DispId kTrack1Status = 63;  // 64, 65
inline constexpr DispId kCancelWait = 66;
inline constexpr DispId kAcceptAndRead = 67;
inline constexpr DispId kQuery = 70;
inline constexpr DispId kReset = 80;
}  // namespace ctl

// The events: ev::name:: holds each one's name, ev:: the value its handler stores.
namespace ev {
namespace name {
inline constexpr std::string_view kCardAccepted = "CardAccepted";
inline constexpr std::string_view kCardInvalid = "CardInvalid";
inline constexpr std::string_view kCardAcceptCancelled = "CardAcceptCancelled";
inline constexpr std::string_view kCardTaken = "CardTaken";
inline constexpr std::string_view kCardCaptured = "CardCaptured";
inline constexpr std::string_view kCardEjected = "CardEjected";
inline constexpr std::string_view kTimeout = "Timeout";
inline constexpr std::string_view kDeviceError = "DeviceError";
inline constexpr std::string_view kCardRead = "CardRead";
inline constexpr std::string_view kCardWritten = "CardWritten";
inline constexpr std::string_view kFatalError = "FatalError";
inline constexpr std::string_view kConnectionOpened = "ConnectionOpened";
inline constexpr std::string_view kConnectionClosed = "ConnectionClosed";
inline constexpr std::string_view kChipDataReceived = "ChipDataReceived";
inline constexpr std::string_view kChipInvalid = "ChipInvalid";
inline constexpr std::string_view kWaitCancelled = "WaitCancelled";
inline constexpr std::string_view kResetComplete = "ResetComplete";
}  // namespace name

inline constexpr int32_t kCardAccepted = 405;
inline constexpr int32_t kCardInvalid = 407;
inline constexpr int32_t kCardAcceptCancelled = 416;  // into the second status word
inline constexpr int32_t kCardTaken = 411;
inline constexpr int32_t kCardCaptured = 412;
inline constexpr int32_t kTimeout = 10120001;
inline constexpr int32_t kDeviceError = 23;
inline constexpr int32_t kCardRead = 419;
inline constexpr int32_t kCardWritten = 409;
inline constexpr int32_t kFatalError = 23;
inline constexpr int32_t kConnectionOpened = 403;
inline constexpr int32_t kConnectionClosed = 23;
inline constexpr int32_t kChipDataReceived = 461;
inline constexpr int32_t kChipInvalid = 462;
inline constexpr int32_t kResetComplete = 404;
// Tested by the operations although no handler stores them.
inline constexpr int32_t kStatus413 = 413;
inline constexpr int32_t kStatus460 = 460;

// Which process-wide word a handler writes; CardEjected and WaitCancelled write none and
// show the status word as it stands.
enum class Word { Status, Second, None };

struct Handled {
    std::string_view name;
    Word word;
    int32_t value;  // unused for Word::None
};

// The handled events in the control's order.
inline constexpr std::array<Handled, 17> kHandled{{
    {name::kCardAccepted, Word::Status, kCardAccepted},
    {name::kCardInvalid, Word::Status, kCardInvalid},
    {name::kCardAcceptCancelled, Word::Second, kCardAcceptCancelled},
    {name::kCardTaken, Word::Status, kCardTaken},
    {name::kCardCaptured, Word::Status, kCardCaptured},
    {name::kCardEjected, Word::None, 0},
    {name::kTimeout, Word::Status, kTimeout},
    {name::kDeviceError, Word::Status, kDeviceError},
    {name::kCardRead, Word::Status, kCardRead},
    {name::kCardWritten, Word::Status, kCardWritten},
    {name::kFatalError, Word::Status, kFatalError},
    {name::kConnectionOpened, Word::Status, kConnectionOpened},
    {name::kConnectionClosed, Word::Status, kConnectionClosed},
    {name::kChipDataReceived, Word::Status, kChipDataReceived},
    {name::kChipInvalid, Word::Status, kChipInvalid},
    {name::kWaitCancelled, Word::None, 0},
    {name::kResetComplete, Word::Status, kResetComplete},
}};

}  // namespace ev
}  // namespace czqic
