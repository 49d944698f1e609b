#include "ca_messages_run.h"

#include <krmodule/krmodule.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "ca/broadcast_data.h"
#include "ca/ca_state.h"
#include "ca/card_layer.h"
#include "ca/ecm_worker.h"
#include "ca/emm.h"
#include "ca/mail_store.h"
#include "ca/service_map.h"
#include "core/byte_order.h"
#include "core/byte_reader.h"
#include "core/host.h"
#include "core/platform.h"
#include "intake/intake.h"
#include "intake/request_table.h"

namespace krfuzz {
namespace {

constexpr uint8_t kCardId[kr::kCardIdSize] = {0x4B, 0x52, 0x00, 0x00, 0x00, 0x00, 0x10, 0x01};
constexpr uint16_t kEcmPid = 0x0101;
constexpr std::size_t kEcmIdsEnd = 9;
constexpr std::size_t kEcmTypeOffset = 10;
constexpr std::size_t kEcmBlockCountOffset = 55;

// What the card answers to a CA command once asked for it: a command count and two commands
// for a card-command EMM, and more than the two control words for an ECM.
constexpr uint8_t kFixedAnswer[40] = {2,    5,    0x80, 0xCA, 0x00, 0x00, 0x00, 5,    0x80, 0xCA,
                                      0x00, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                      0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x02,
                                      0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C};

uint8_t answer[256];
std::size_t answerLength = 0;
CaReach reach;

// How the card answers the control-word command in an ECM run.
struct EcmScript {
    bool active = false;
    bool failExchange = false;
    uint8_t mode = 0;
    uint8_t extraLength = 0;  // added to the length the card reports
    uint8_t sw1 = 0x90, sw2 = 0x00;
    bool wrongWords = false;
};
EcmScript script;
// What the card wrote in its last answer of an ECM run, status included.
uint8_t wrote[kr::kCardResponseSize];
uint32_t wroteLength = 0;

int32_t Status(uint8_t* response, uint32_t* length, uint32_t at, uint8_t sw1, uint8_t sw2) {
    response[at] = sw1;
    response[at + 1] = sw2;
    *length = at + 2;
    return 0;
}

int32_t CardReset(uint8_t* atr, uint32_t* length) {
    atr[0] = 0x3B;
    atr[1] = 0x00;
    *length = 2;
    return 0;
}

// The answers of an ECM run; a reported length may exceed what the card wrote, never the buffer.
int32_t ScriptedAnswer(uint32_t* length, const uint8_t* command, uint8_t* response) {
    const bool fetch = command[0] == 0x00;
    if (!fetch) ++reach.cardCommands;
    if (script.failExchange && !fetch) return 1;
    const std::size_t most = kr::kCardResponseSize - 2;
    // Bytes after the status, as a card that sends more than its status would.
    const auto report = [&](uint32_t at, uint8_t sw1, uint8_t sw2) {
        Status(response, length, at, sw1, sw2);
        const uint32_t end = std::min<uint32_t>(*length + script.extraLength, kr::kCardResponseSize);
        std::fill(response + *length, response + end, uint8_t{0xEE});
        *length = end;
        std::memcpy(wrote, response, end);
        wroteLength = end;
        return 0;
    };
    if (fetch) {
        if ((script.mode & 4) != 0) return report(0, script.sw1, script.sw2);
        const uint8_t le = *length >= 5 ? command[4] : 0;
        const std::size_t n = std::min<std::size_t>({le, answerLength, most});
        std::memcpy(response, answer, n);
        return report(static_cast<uint32_t>(n), 0x90, 0x00);
    }
    const std::size_t n = std::min(answerLength, most);
    switch (script.mode & 3) {
        case 0:
            return report(0, 0x61, static_cast<uint8_t>(answerLength));
        case 1:
            std::memcpy(response, answer, n);
            return report(static_cast<uint32_t>(n), 0x90, 0x00);
        case 2:
            return report(0, script.sw1, script.sw2);
        default:
            std::memcpy(response, answer, n);
            return report(static_cast<uint32_t>(n), script.sw1, script.sw2);
    }
}

// Reads answer zeros (no rating, no viewing hours); updates and selections are accepted; the CA
// command is answered with 61 xx and the answer is handed out by GET RESPONSE.
int32_t CardApdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    if (*length < 4) return Status(response, length, 0, 0x67, 0x00);
    const uint8_t le = *length >= 5 ? command[4] : 0;
    const uint8_t cla = command[0];
    const uint8_t ins = command[1];
    if (script.active && ((cla == 0xC0 && ins == 0xE4) || (cla == 0x00 && ins == 0xC0)))
        return ScriptedAnswer(length, command, response);
    if (cla == 0xC0 && ins == 0xE4) {
        ++reach.cardCommands;
        return Status(response, length, 0, 0x61, static_cast<uint8_t>(answerLength));
    }
    if (cla == 0x00 && ins == 0xC0) {
        const std::size_t n = std::min<std::size_t>({le, answerLength, kr::kCardResponseSize - 2});
        std::memcpy(response, answer, n);
        return Status(response, length, static_cast<uint32_t>(n), 0x90, 0x00);
    }
    if (cla == 0x00 && (ins == 0xB0 || ins == 0xB2)) {
        const uint32_t n = std::min<uint32_t>(le, kr::kCardResponseSize - 2);
        std::memset(response, 0, n);
        return Status(response, length, n, 0x90, 0x00);
    }
    return Status(response, length, 0, 0x90, 0x00);
}

int32_t ShowMessage(uint32_t /*id*/, const char* text, uint32_t /*always0*/, uint32_t /*later*/) {
    if (text != nullptr) ++reach.texts;
    return 0;
}

int32_t MailNotify(uint32_t state) {
    if (state == 0) ++reach.mails;
    return 0;
}

int32_t Redirect(uint16_t /*first*/, uint16_t /*second*/, uint16_t /*third*/) {
    ++reach.redirections;
    return 0;
}

int32_t SetDescrambler(DescramblerRecord record, uint32_t /*always1*/) {
    const uint8_t none[sizeof record.controlWordA] = {};
    const bool cleared = std::memcmp(record.controlWordA, none, sizeof none) == 0 &&
                         std::memcmp(record.controlWordB, none, sizeof none) == 0;
    if (!cleared) ++reach.controlWords;
    // The first 16 bytes the card sent are the even word (B), the next 16 the odd one (A).
    if (script.active && !cleared &&
        (wroteLength < 32 || std::memcmp(record.controlWordB, wrote, 16) != 0 ||
         std::memcmp(record.controlWordA, wrote + 16, 16) != 0)) {
        script.wrongWords = true;
    }
    return 0;
}

int32_t AcceptFilter(uint32_t /*requestId*/, SectionFilterParams /*params*/) {
    return 0;
}

void Reset() {
    {
        kr::ShortLockGuard hold(kr::Ca().lock);
        kr::CaState& ca = kr::Ca();
        std::memcpy(ca.cardId, kCardId, sizeof ca.cardId);
        std::memset(ca.lastEmmCrc, 0, sizeof ca.lastEmmCrc);
        std::memset(ca.lastBrdCrc, 0, sizeof ca.lastBrdCrc);
        std::memset(ca.messageHistory, 0, sizeof ca.messageHistory);
        ca.lastCommandSeq = 0;
    }
    kr::Ca().cardInserted.store(1);
    kr::Ca().cardError.store(0);
    kr::Ca().cardReady.store(1);
    kr::Ca().cardRating.store(0);
    kr::Ca().workStart.store(0);
    kr::Ca().workEnd.store(0);
    kr::CardLayerStart();
    kr::kr_MailClear();
    kr::kr_ServiceMapInit();
    std::memcpy(answer, kFixedAnswer, sizeof kFixedAnswer);
    answerLength = sizeof kFixedAnswer;
}

// A map naming the ECM's service with kEcmPid, and the service started by that PID.
ServiceRequest StartEcmService(const std::vector<uint8_t>& ecm, uint8_t flags = 0,
                               bool start = true) {
    uint8_t smt[21] = {0x84, 0x70, 18, 0, 1};
    std::copy_n(ecm.begin() + 3, 6, smt + 5);
    smt[11] = flags;
    kr::WriteBe16(smt, 12, kEcmPid);
    (void)kr::kr_SmtParse(smt, sizeof smt);
    ServiceRequest request{};
    request.pid = kEcmPid;
    if (start) (void)krca_T2CA_StartServices(1, &request);
    return request;
}

// A refused or unknown ECM form makes the worker pause before the next ECM, which no fuzzing
// can afford: the type stays one the card knows and at least one block is sent.
void KeepEcmOffPauses(std::vector<uint8_t>& ecm) {
    if (ecm.size() > kEcmTypeOffset) ecm[kEcmTypeOffset] &= 0x7F;
    if (ecm.size() > kEcmBlockCountOffset && ecm[kEcmBlockCountOffset] == 0)
        ecm[kEcmBlockCountOffset] = 1;
}

void RunEcm(std::vector<uint8_t>& ecm, bool serviceKnown) {
    KeepEcmOffPauses(ecm);
    const bool started = serviceKnown && ecm.size() >= kEcmIdsEnd;
    ServiceRequest request{};
    if (started) request = StartEcmService(ecm);
    (void)kr::kr_EcmParse(ecm.data(), static_cast<uint32_t>(ecm.size()));
    if (started) (void)krca_T2CA_StopServices(1, &request);
}

}  // namespace

bool StartCaMessages() {
    HostCallbacks host{};
    host.SetSectionFilter = AcceptFilter;
    host.SetDescrambler = SetDescrambler;
    host.ShowMessage = ShowMessage;
    host.MailNotify = MailNotify;
    host.RedirectService = Redirect;
    host.SmartcardApdu = CardApdu;
    host.SmartcardReset = CardReset;
    kr::SetHostCallbacks(host);
    reach = CaReach{};
    return kr::IntakeInit(16) == 0;
}

void FinishCaMessages() {
    Reset();
    kr::Ca().cardReady.store(0);
    kr::Ca().cardInserted.store(0);
    kr::Ca().cardError.store(1);
    kr::IntakeFinish();
    kr::ClearHostCallbacks();
}

void RunCaMessagesInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return;
    Reset();
    const uint8_t selector = data[0];
    std::size_t at = 1;
    const int kind = selector & 3;
    if (kind != 3 && (selector & 0x80) != 0 && at < size) {
        answerLength = std::min<std::size_t>(data[at], size - at - 1);
        std::memcpy(answer, data + at + 1, answerLength);
        at += 1 + answerLength;
    }
    // An exact copy: a read past the section's end is one past the allocation.
    std::vector<uint8_t> section(data + at, data + size);
    const auto length = static_cast<uint32_t>(section.size());
    switch (kind) {
        case 0:
            (void)kr::kr_EmmParse(section.data(), length);
            break;
        case 1:
            (void)kr::kr_BrdParse(section.data(), length);
            break;
        case 2:
            (void)kr::kr_SmtParse(section.data(), length);
            break;
        default:
            RunEcm(section, (selector & 4) == 0);
            break;
    }
}

bool RunEcmInput(const uint8_t* data, std::size_t size) {
    Reset();
    kr::ByteReader in(data, size);
    const uint8_t flags = in.U8();
    script = EcmScript{};
    script.active = true;
    script.failExchange = (flags & 8) != 0;
    const uint8_t mode = in.U8();
    script.mode = mode;
    script.extraLength = static_cast<uint8_t>(mode >> 3);
    script.sw1 = in.U8();
    script.sw2 = in.U8();
    answerLength = std::min<std::size_t>(in.U8(), in.remaining());
    in.CopyTo(answer, answerLength);
    const uint8_t rating = in.U8();
    kr::Ca().workStart.store(in.Be16());
    kr::Ca().workEnd.store(in.Be16());
    kr::Ca().cardRating.store(in.U8());
    if ((flags & 1) != 0) kr::Ca().cardReady.store(0);
    if (!in.ok()) {
        script = EcmScript{};
        return true;
    }
    // An exact copy: a read past the section's end is one past the allocation.
    const auto rest = in.Bytes(in.remaining());
    std::vector<uint8_t> ecm(rest.begin(), rest.end());
    const bool known = (flags & 2) == 0 && ecm.size() >= kEcmIdsEnd;
    const bool started = known && (flags & 4) == 0;
    ServiceRequest request{};
    if (known) request = StartEcmService(ecm, rating, started);
    const std::size_t before = reach.controlWords;
    for (int i = 0; i < 2; ++i)
        (void)kr::kr_EcmParse(ecm.data(), static_cast<uint32_t>(ecm.size()));
    if (reach.controlWords == before) ++reach.refusals;
    if (started) (void)krca_T2CA_StopServices(1, &request);
    const bool sound = !script.wrongWords;
    script = EcmScript{};
    return sound;
}

const CaReach& CaMessagesReach() {
    return reach;
}

}  // namespace krfuzz
