#include "card/virtual_card.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace krtools {

namespace {

constexpr std::size_t kResponseBufferSize = 256;

}  // namespace

VirtualCard::VirtualCard(const CardProfile& profile)
    : state_(profile), atr_(profile.atr), commandMs_(profile.commandMs), byteUs_(profile.byteUs) {
    if (atr_.size() > kMaxAtrSize) atr_.resize(kMaxAtrSize);
}

void VirtualCard::TakeTime(std::size_t bytes) {
    const uint64_t micros = uint64_t{commandMs_} * 1000 + bytes * uint64_t{byteUs_};
    if (micros == 0) return;
    busyMicros_ += micros;
    if (timeCounter_)
        timeCounter_(micros);
    else
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

void VirtualCard::CountTimeWith(std::function<void(uint64_t micros)> counter) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeCounter_ = std::move(counter);
}

uint64_t VirtualCard::BusyMicros() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return busyMicros_;
}

int32_t VirtualCard::Reset(uint8_t* answerToReset, uint32_t* length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!inserted_ || answerToReset == nullptr || length == nullptr) return 1;
    if (failResets_ > 0) {
        --failResets_;
        return 2;
    }
    if (resetResult_ != 0) return resetResult_;
    TakeTime(atr_.size());
    std::copy(atr_.begin(), atr_.end(), answerToReset);
    *length = static_cast<uint32_t>(atr_.size());
    state_.EndSession();
    ++resets_;
    return 0;
}

bool VirtualCard::ExchangeLocked(std::span<const uint8_t> command, Bytes& response) {
    if (!inserted_) return false;
    if (log_.size() == kLogSize) log_.pop_front();
    // The log keeps no more than a short command of each; the card answers a longer one 67 00.
    const std::span<const uint8_t> kept =
        command.first(std::min(command.size(), kMaxLoggedCommand));
    log_.emplace_back(kept.begin(), kept.end());
    if (failExchanges_ > 0) {
        --failExchanges_;
        return false;
    }
    response = AnswerCommand(state_, command);
    return true;
}

bool VirtualCard::ExchangeAndNotify(std::span<const uint8_t> command, Bytes& response) {
    std::function<void()> listener;
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t before = state_.changes;
        done = ExchangeLocked(command, response);
        if (done) TakeTime(command.size() + response.size());
        if (state_.changes != before) listener = changed_;
    }
    if (listener) listener();
    return done;
}

int32_t VirtualCard::Apdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    if (length == nullptr || response == nullptr || (command == nullptr && *length != 0)) return 1;
    Bytes answer;
    if (!ExchangeAndNotify({command, *length}, answer) || answer.size() > kResponseBufferSize)
        return 1;
    std::copy(answer.begin(), answer.end(), response);
    *length = static_cast<uint32_t>(answer.size());
    return 0;
}

VirtualCard::Bytes VirtualCard::Exchange(const Bytes& command) {
    Bytes answer;
    ExchangeAndNotify(command, answer);
    return answer;
}

void VirtualCard::FailNextExchanges(uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    failExchanges_ = count;
}

void VirtualCard::FailNextResets(uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    failResets_ = count;
}

void VirtualCard::AnswerResetWith(int32_t result) {
    std::lock_guard<std::mutex> lock(mutex_);
    resetResult_ = result;
}

void VirtualCard::Pull() {
    std::lock_guard<std::mutex> lock(mutex_);
    inserted_ = false;
    state_.EndSession();
}

void VirtualCard::Insert() {
    std::lock_guard<std::mutex> lock(mutex_);
    inserted_ = true;
}

bool VirtualCard::IsInserted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inserted_;
}

std::vector<VirtualCard::Bytes> VirtualCard::CommandLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {log_.begin(), log_.end()};
}

void VirtualCard::ClearCommandLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

uint32_t VirtualCard::ResetCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

uint8_t VirtualCard::PinTriesLeft() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.pinTriesLeft;
}

bool VirtualCard::PinVerified() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.pinVerified;
}

uint16_t VirtualCard::SelectedDf() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.selectedDf;
}

VirtualCard::Bytes VirtualCard::File(uint16_t df, uint8_t sfi) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const ElementaryFile* ef = state_.files.Find(df, sfi);
    return ef == nullptr ? Bytes{} : ef->data;
}

VirtualCard::Bytes VirtualCard::Record(uint16_t df, uint8_t sfi, uint8_t number) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const ElementaryFile* ef = state_.files.Find(df, sfi);
    if (ef == nullptr || number == 0 || number > ef->RecordCount()) return {};
    const auto begin =
        ef->data.begin() + static_cast<std::ptrdiff_t>((number - 1u) * ef->recordSize);
    return {begin, begin + static_cast<std::ptrdiff_t>(ef->recordSize)};
}

void VirtualCard::SetFile(uint16_t df, uint8_t sfi, const Bytes& contents) {
    std::lock_guard<std::mutex> lock(mutex_);
    ElementaryFile* ef = state_.files.Find(df, sfi);
    if (ef == nullptr) throw std::invalid_argument("no such EF on the card");
    const bool fits = ef->recordSize == 0
                          ? contents.size() <= kMaxResponseData
                          : !contents.empty() && contents.size() % ef->recordSize == 0 &&
                                contents.size() / ef->recordSize <= kMaxMailRecords;
    if (!fits) throw std::invalid_argument("contents of a size the EF cannot take");
    ef->data = contents;
}

std::vector<VirtualCard::FileId> VirtualCard::Files() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FileId> ids;
    for (const DedicatedFile& df : state_.files.dfs)
        for (const ElementaryFile& ef : df.files)
            ids.push_back({df.fid, ef.sfi});
    return ids;
}

VirtualCard::Bytes VirtualCard::Pin() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.pin;
}

void VirtualCard::SetPin(const Bytes& pin) {
    if (pin.empty() || pin.size() > kMaxPinSize) throw std::invalid_argument("a PIN of that size");
    std::lock_guard<std::mutex> lock(mutex_);
    state_.pin = pin;
}

void VirtualCard::SetPinTriesLeft(uint8_t tries) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tries > state_.pinTries) throw std::invalid_argument("more PIN tries than the card has");
    state_.pinTriesLeft = tries;
}

uint64_t VirtualCard::ChangeCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.changes;
}

void VirtualCard::OnMemoryChanged(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_ = std::move(listener);
}

}  // namespace krtools
