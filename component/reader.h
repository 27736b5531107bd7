// ColsZQICCardReader, the one creatable class: its per-instance record, its property
// accessors and its blocking device methods, all defined in this folder (the device
// methods over the operation frame of operations/). This header is the class's whole
// surface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "component/events.h"
#include "component/runtime.h"
#include "device/control_contract.h"
#include "device/form_host.h"
#include "operations/frame.h"
#include "platform/automation.h"

namespace czqic {

// Reader status codes, as CardReaderStatus and CardReaderGetStatus return them.
namespace reader_status {
inline constexpr int32_t kNoCard = 1;        // no card, card entry not enabled
inline constexpr int32_t kCardAtEntry = 2;   // a card stands in the entry slot
inline constexpr int32_t kDeviceFault = 3;   // media jammed or device failed
inline constexpr int32_t kEntryEnabled = 4;  // card entry enabled, no card yet
inline constexpr int32_t kCardInside = 5;    // a card is inside the reader
inline constexpr int32_t kCaptureBinFull = 6;
}  // namespace reader_status

// The operation frame sees an object only as its OperationContext, which stays private:
// no one else reaches the record through it.
class ColsZQICCardReader final : public FormObject, private OperationContext {
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
    int32_t card_taken_limit() const { return card_taken_limit_; }
    double start_time() const { return start_time_; }
    int32_t last_log_result() const { return last_log_result_; }

  private:
    explicit ColsZQICCardReader(Runtime& rt) : rt_(rt) {}
    // Object termination: runs once, when the last reference goes. Failures end it early
    // and are reported, never thrown: a release reports nothing to its caller.
    void terminate() noexcept;
    void RefreshReaderStatus();

    // OperationContext
    int32_t& status_word() override { return rt_.status_word; }
    Dispatch& control() override;
    Clock& clock() override { return rt_.clock(); }
    MessageLoop& loop() override { return rt_.loop(); }
    WaitMode wait_mode() const override { return rt_.wait_mode(); }
    void write_log(std::string_view message) override;
    double& started_at() override { return start_time_; }

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
    int32_t reader_status_ = reader_status::kNoCard;
    double start_time_ = 0;
    int32_t card_taken_limit_ = kCardTakenDefaultSeconds;
    int32_t last_log_result_ = 0;
};

using ReaderRef = std::shared_ptr<ColsZQICCardReader>;

// The host form's own object (mobjCardReader), created on first use. The Runtime is the
// form's one host, so the object is always of this class.
ReaderRef own_reader_ref(HostForm& form);
inline ColsZQICCardReader& own_reader(HostForm& form) {
    return *own_reader_ref(form);
}

}  // namespace czqic
