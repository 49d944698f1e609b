// A subscriber smartcard in memory, answering the host's two card slots like a real one, with
// controls to make it fail and getters to see what it was asked. Safe to use from several
// threads; each call runs alone.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "card/card_commands.h"
#include "card/card_profile.h"

namespace krtools {

class VirtualCard {
  public:
    using Bytes = std::vector<uint8_t>;

    // Out-of-range values of a hand-filled profile are clamped; ParseCardProfile gives none.
    explicit VirtualCard(const CardProfile& profile = CardProfile{});

    // The host's SmartcardReset: writes the ATR (at most 33 bytes) and its length; 0 = reset.
    int32_t Reset(uint8_t* answerToReset, uint32_t* length);
    // The host's SmartcardApdu: *length is the command's length in, the response's out (data,
    // then SW1 SW2, at most 256 bytes); 0 = exchange done.
    int32_t Apdu(uint32_t* length, const uint8_t* command, uint8_t* response);
    // The same exchange for tests: the whole response, empty when the exchange failed.
    Bytes Exchange(const Bytes& command);

    // Failure controls. A pulled card fails every reset and exchange with 1.
    void FailNextExchanges(uint32_t count);  // answered with 1, logged, not seen by the card
    void FailNextResets(uint32_t count);     // answered with 2
    void AnswerResetWith(int32_t result);    // every reset, until set back to 0
    void Pull();                             // ends the session, as losing power does
    void Insert();
    bool IsInserted() const;

    // What tests look at.
    std::vector<Bytes> CommandLog() const;  // the last kLogSize commands, oldest first
    void ClearCommandLog();
    uint32_t ResetCount() const;  // resets answered with 0
    uint8_t PinTriesLeft() const;
    bool PinVerified() const;
    uint16_t SelectedDf() const;
    // Transparent EF: its contents; record EF: its records one after another. Empty when the
    // file does not exist.
    Bytes File(uint16_t df, uint8_t sfi) const;
    Bytes Record(uint16_t df, uint8_t sfi, uint8_t number) const;  // empty: no such record
    // Replaces the contents: a transparent EF takes 0..254 bytes, a record EF whole records.
    // Throws std::invalid_argument for any other file or size.
    void SetFile(uint16_t df, uint8_t sfi, const Bytes& contents);

    // What the card keeps without power, beyond its EFs, for a copy of its memory.
    struct FileId {
        uint16_t df = 0;
        uint8_t sfi = 0;
    };
    std::vector<FileId> Files() const;  // every EF, in the card's order
    Bytes Pin() const;
    void SetPin(const Bytes& pin);           // 1..kMaxPinSize bytes; std::invalid_argument else
    void SetPinTriesLeft(uint8_t tries);     // at most the card's tries; std::invalid_argument
    // Grows whenever an exchange changes the memory above (an EF, the PIN, its tries).
    uint64_t ChangeCount() const;
    // Called after each exchange that changed the memory, on the exchanging thread, without
    // the card's lock, so it may read the card. One listener; an empty one removes it.
    void OnMemoryChanged(std::function<void()> listener);

    // The card's speed (the profile's command-ms and byte-us): by default each exchange and
    // reset sleeps its time. With a counter, the time goes to it instead (called under the
    // card's lock, with the microseconds, so it must not call the card); empty: sleep again.
    void CountTimeWith(std::function<void(uint64_t micros)> counter);
    uint64_t BusyMicros() const;  // the card's time so far

    static constexpr std::size_t kLogSize = 4096;
    static constexpr std::size_t kMaxLoggedCommand = 261;  // the longest short command

  private:
    // False when the exchange failed, with no response.
    bool ExchangeLocked(std::span<const uint8_t> command, Bytes& response);
    // Exchanges, then tells the listener when the card's memory changed.
    bool ExchangeAndNotify(std::span<const uint8_t> command, Bytes& response);

    mutable std::mutex mutex_;
    CardState state_;
    Bytes atr_;
    bool inserted_ = true;
    uint32_t failExchanges_ = 0;
    uint32_t failResets_ = 0;
    int32_t resetResult_ = 0;
    uint32_t resets_ = 0;
    std::deque<Bytes> log_;
    std::function<void()> changed_;
    uint32_t commandMs_ = 0;
    uint32_t byteUs_ = 0;
    std::function<void(uint64_t)> timeCounter_;
    uint64_t busyMicros_ = 0;

    // The time an exchange of so many bytes takes, slept or counted; under the lock.
    void TakeTime(std::size_t bytes);
};

}  // namespace krtools
