#include "component/reader.h"

#include "device/host_form.h"
#include "log/log_writer.h"

namespace czqic {

std::shared_ptr<ColsZQICCardReader> ColsZQICCardReader::create(Runtime& rt) {
    // Build the record first: a creation that fails leaves no object behind, so no
    // termination runs for it.
    std::unique_ptr<ColsZQICCardReader> fresh(new ColsZQICCardReader(rt));
    rt.form().control().put(ctl::kDeviceName, Value(kDeviceLogicalName));
    fresh->reader_status_ = reader_status::kNoCard;
    fresh->card_taken_limit_ = kCardTakenDefaultSeconds;
    fresh->chip_card_flag_ = 0;
    return std::shared_ptr<ColsZQICCardReader>(fresh.release(), [](ColsZQICCardReader* p) {
        p->terminate();
        delete p;
    });
}

void ColsZQICCardReader::terminate() noexcept {
    try {
        auto form = rt_.form_ref();
        form->control().call(ctl::kClose);
        rt_.unload_form();
        rt_.clear_log_writer();
    } catch (const std::exception& e) {
        rt_.report("ColsZQICCardReader termination", e);
    }
}

void ColsZQICCardReader::write_log(std::string_view message) {
    last_log_result_ = rt_.log(message);
}

Dispatch& ColsZQICCardReader::control() {
    return rt_.form().control();
}

ReaderRef own_reader_ref(HostForm& form) {
    return std::static_pointer_cast<ColsZQICCardReader>(form.own_object_ref());
}

std::string ColsZQICCardReader::ReadTrack(int track) const {
    return read_text_.at(track - 1);
}

int32_t ColsZQICCardReader::ReadTrackLen(int track) const {
    return read_len_.at(track - 1);
}

void ColsZQICCardReader::WriteTrack(int track, std::string text) {
    write_text_.at(track - 1) = std::move(text);
}

void ColsZQICCardReader::WriteTrackLen(int track, std::string_view text) {
    // Convert before storing, so a text that is no number leaves the old value.
    const int32_t length = str_to_i4(text);
    write_len_.at(track - 1) = length;
}

int32_t ColsZQICCardReader::CardReaderStatus() {
    RefreshReaderStatus();
    return reader_status_;
}

std::string ColsZQICCardReader::GSRV() {
    Value key("LastErrorCode");
    return to_string(rt_.form().control().call(ctl::kQuery, {&key, 1}));
}

void ColsZQICCardReader::RefreshReaderStatus() {
    HostForm& form = rt_.form();
    Dispatch& control = form.control();
    // Both fault indicators are read before deciding, so the control sees both reads.
    const bool jammed = to_string(control.get(ctl::kMediaState)) == "JAMMED";
    const bool fatal = to_string(control.get(ctl::kDeviceState)) == "FATAL";
    if (jammed || fatal) {
        reader_status_ = reader_status::kDeviceFault;
        entry_enabled_ = 0;
        // Only an off timer is switched on: re-enabling would restart its period.
        if (!form.timer1().enabled()) form.timer1().set_enabled(true);
        return;
    }
    if (form.timer1().enabled()) form.timer1().set_enabled(false);
    const bool bin_full = to_string(control.get(ctl::kBinState)) == "BINFULL";
    const bool bin_flag = to_bool(control.get(ctl::kBinFlag));
    if (bin_full && bin_flag) {
        reader_status_ = reader_status::kCaptureBinFull;
        return;
    }
    const std::string media = to_string(control.get(ctl::kMediaState));
    if (media == "PRESENT") {
        reader_status_ = reader_status::kCardInside;
        entry_enabled_ = 0;
    } else if (media == "INJAWS") {
        reader_status_ = reader_status::kCardAtEntry;
        entry_enabled_ = 0;
    } else {
        reader_status_ =
            entry_enabled_ == 1 ? reader_status::kEntryEnabled : reader_status::kNoCard;
    }
}

}  // namespace czqic
