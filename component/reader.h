// ColsZQICCardReader, the one creatable class: its per-instance record, its property
// accessors and its blocking device methods. The device methods live with their
// subsystems (operations/, chip/); this header is the class's whole surface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "component/events.h"
#include "component/runtime.h"
#include "platform/automation.h"

namespace czqic {

// Result codes.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kTimedOut = 10120001;
inline constexpr int32_t kFailed = 10120003;
inline constexpr int32_t kStatus413 = 10120006;
inline constexpr int32_t kCaptured = 10120011;

// Dispatch identifiers of the vendor control's members.
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

inline constexpr const char* kDeviceLogicalName = "CARDREADER_ZQICR";

class ColsZQICCardReader {
  public:
    // Object creation: loads the host form if need be and names the device. A failing
    // step fails the creation (AutomationError) and no object exists.
    static std::shared_ptr<ColsZQICCardReader> create(Runtime& rt);

    ColsZQICCardReader(const ColsZQICCardReader&) = delete;  // one record per COM object
    ColsZQICCardReader& operator=(const ColsZQICCardReader&) = delete;

    Runtime& runtime() { return rt_; }
    ConnectionPoint& events() { return events_; }

    // Properties. Failures raise AutomationError to the caller.
    int32_t CardReaderStatus();
    std::string ReadTrack(int track) const;  // ReadTrack1..3
    int32_t ReadTrackLen(int track) const;   // ReadTrack1Len..3
    void WriteTrack(int track, std::string text);
    void WriteTrackLen(int track, std::string_view text);
    void TimeOutCard(int32_t seconds) { card_taken_limit_ = seconds; }
    void IsChipCard(int32_t flag) { chip_card_flag_ = flag; }
    std::string ChipCardData() const { return rt_.chip_card_data; }
    void ChipCardData(std::string text) { rt_.chip_card_data = std::move(text); }
    std::string GSRV();
    std::string CardVer() const { return {}; }

    // Methods; each returns a result code (CardReaderGetStatus: the status code).
    int32_t CardReaderClear();
    int32_t CardReaderInit();
    int32_t CardReaderGetStatus();
    int32_t CardReaderReset();
    int32_t Reset() { return kOk; }
    int32_t CardReaderRetain();
    int32_t CardReaderEnable();
    int32_t CardReaderRead();
    int32_t QOR_WaitChip();
    int32_t Qor_ChipTrnsp();
    int32_t CardReaderWrite();
    int32_t CardReaderReturn();
    int32_t CardReaderDisable();

    // The per-instance record, readable for the panel, diagnostics and tests.
    int32_t entry_enabled() const { return entry_enabled_; }
    int32_t reader_status() const { return reader_status_; }
    int32_t write_track_len(int track) const { return write_len_[track - 1]; }
    const std::string& write_track_text(int track) const { return write_text_[track - 1]; }
    int32_t chip_card_flag() const { return chip_card_flag_; }
    int32_t card_taken_limit() const { return card_taken_limit_; }
    double start_time() const { return start_time_; }
    int32_t last_log_result() const { return last_log_result_; }

  private:
    explicit ColsZQICCardReader(Runtime& rt) : rt_(rt) {}
    // Object termination: runs once, when the last reference goes. Failures end it early
    // and are reported, never thrown: a release reports nothing to its caller.
    void terminate() noexcept;
    void RefreshReaderStatus();
    int32_t log(std::string_view message);

    friend class Operation;
    friend struct ReaderAccess;

    Runtime& rt_;
    ConnectionPoint events_;
    // The instance record, in its documented order.
    int32_t entry_enabled_ = 0;
    std::array<int32_t, 3> read_len_{};
    std::array<int32_t, 3> write_len_{};
    std::array<std::string, 3> read_text_{};
    std::array<std::string, 3> write_text_{};
    int32_t chip_card_flag_ = 0;
    int16_t loop_index_ = 0;
    int32_t reader_status_ = 1;
    double start_time_ = 0;
    int32_t card_taken_limit_ = 3;
    int32_t last_log_result_ = 0;
};

using ReaderRef = std::shared_ptr<ColsZQICCardReader>;

}  // namespace czqic
