// The card layer: the only code that talks to the subscriber's card, through the host's reset
// and APDU functions. A reset is made only when needed, every exchange recovers once (reset,
// re-select, retry), the current selection is cached, and the ISO commands and the card's own
// commands used by the conditional-access client are built here.
//
// Everything but kr_CardGetVersion runs inside a card transaction (CardTransaction below), which
// holds the card lock from before the reset to after its last command.
#pragma once

#include <cstdint>
#include <span>

#include "core/platform.h"

namespace kr {

constexpr uint16_t kFileMf = 0x3F00;
constexpr uint16_t kFileCaApplication = 0xDF01;

// The card's files: the DF that holds each, its short EF identifier, and the bytes read or
// written at once (the file whole; one record of the mail file).
struct CardFile {
    uint16_t df;
    uint16_t sfi;
    uint8_t size;
};
constexpr CardFile kCardIdFile{kFileMf, 16, 8};
constexpr CardFile kManufacturerFile{kFileMf, 17, 64};
constexpr CardFile kOperatorFile{kFileCaApplication, 3, 64};
constexpr CardFile kRatingFile{kFileCaApplication, 4, 2};         // 0, the rating's code
constexpr CardFile kWorkTimeFile{kFileCaApplication, 5, 4};       // hh mm hh mm, binary
constexpr CardFile kEntitlementFile{kFileCaApplication, 6, 161};  // count, then periods
constexpr CardFile kMailFile{kFileCaApplication, 12, 140};        // records

// The card's own commands (class C0, instruction E4), told apart by P1.
constexpr uint8_t kCaEmmCommand = 0x08;
constexpr uint8_t kCaGetVersion = 0x10;
constexpr uint8_t kCaControlWords = 0x12;
constexpr uint8_t kCaControlWordsOlder = 0x01;

// The response buffer handed to the host for every exchange.
constexpr uint32_t kCardResponseSize = 256;
// The longest command: header, Lc and 255 data bytes.
constexpr uint32_t kCardCommandMax = 5 + 255;

// Results of kr_CardVerifyPin besides 0, -1 and 1 (the same values as the public codes).
constexpr int32_t kPinWrong = 0x40;    // + attempts left
constexpr int32_t kPinBlocked = 0x31;  // no attempt left

// Card-layer state at CA start: no reset made, nothing selected.
void CardLayerStart();
// A card removal: the next transaction resets the card. The caller holds the card lock.
void CardLayerForgetReset();

// Serialises card transactions (see SlowLock for why it is not the module lock).
SlowLock& CardLock();

// 0; the host's result when the reset fails; -1 when the host has no reset function.
int32_t kr_CardReset();

// One exchange with one recovery. *length holds the command length in and the response length
// (status word included) out. A response the host reports as shorter than the status word or
// longer than the buffer counts as a failed exchange. 0; the host's failure after the retry, or
// the failure of the recovery's reset or SELECT; -1 without an APDU function.
int32_t kr_CardExchange(uint32_t* length, const uint8_t* command, uint8_t* response);

// 0 selected (or already selected); 1 refused by the card; -1 the exchange failed.
int32_t kr_CardSelect(uint16_t fileId);

// 0 and length bytes in out; 1 sfi > 31, length 255 (binary) or the exchange failed; -1 the
// status is not 90 00 or the card sent fewer bytes than asked for.
int32_t kr_CardReadBinary(uint16_t sfi, uint8_t* out, uint8_t length);
int32_t kr_CardReadRecord(uint16_t sfi, uint8_t* out, uint8_t recordNumber, uint8_t length);

// 0; 1 sfi > 31 or the exchange failed; -1 the status is not 90 00.
int32_t kr_CardUpdateBinary(uint16_t sfi, const uint8_t* data, uint8_t length);
int32_t kr_CardUpdateRecord(uint16_t sfi, const uint8_t* data, uint8_t recordNumber,
                            uint8_t length);

// 0 accepted; kPinWrong + attempts left; kPinBlocked; -1 any other status; 1 the exchange failed.
int32_t kr_CardVerifyPin(const uint8_t* pin, uint8_t length);

// The answer of a PIN command's status word: 0, kPinWrong + n, kPinBlocked or -1.
int32_t PinResult(uint16_t statusWord);

// 0 and length bytes in out; -1 status not 90 00 (logged, or fewer bytes than asked for); 1 the
// exchange failed.
int32_t kr_CardGetResponse(uint8_t* out, uint8_t length);
// The same without a diagnostic; *status is the status word when the exchange was made.
int32_t CardFetchResponse(uint8_t* out, uint8_t length, uint16_t* status);

// Takes the card lock itself; sends to whatever is selected. 0 and the version (bits 8-11 major,
// bits 0-3 minor; 0x0100 when the card reports none); -1 the exchange failed (*version kept).
int32_t kr_CardGetVersion(uint32_t* version);

// The status word of a response of length bytes (length >= 2, as kr_CardExchange guarantees).
uint16_t StatusWord(const uint8_t* response, uint32_t length);

// A command that carries data (header, Lc, data), built in place: the header first, then the data
// piece by piece. Data beyond what Lc can count is not taken, and the command is then not whole.
class CardCommand {
  public:
    CardCommand(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2);
    // One of the card's own commands.
    static CardCommand Ca(uint8_t p1, uint8_t p2) { return CardCommand(0xC0, 0xE4, p1, p2); }

    void Append(std::span<const uint8_t> data);
    void Append(uint8_t byte) { Append(std::span<const uint8_t>(&byte, 1)); }

    [[nodiscard]] bool whole() const { return whole_; }
    const uint8_t* bytes() const { return bytes_; }
    uint32_t size() const { return size_; }

  private:
    uint8_t bytes_[kCardCommandMax] = {};
    uint32_t size_ = 5;
    bool whole_ = true;
};

// A card transaction: takes the card lock, resets the card when needed and selects the file.
// result() is 0 when the commands may follow, else the failure to return; the lock is released
// when the transaction ends.
class CardTransaction {
  public:
    explicit CardTransaction(uint16_t fileId);
    ~CardTransaction();
    CardTransaction(const CardTransaction&) = delete;
    CardTransaction& operator=(const CardTransaction&) = delete;

    int32_t result() const { return result_; }

  private:
    int32_t result_ = 0;
};

}  // namespace kr
