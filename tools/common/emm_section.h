// The operator's sections for the terminals: EMMs addressed to one card (messages for the
// subscriber, commands the card carries out) and the broadcast data section for every terminal
// whose card id matches an address under a mask. The builders write lengths and fields as given,
// so tests can forge over-long ones.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/aes128.h"

namespace krtools {

using CardId = std::array<uint8_t, 8>;

constexpr uint8_t kEmmTypeMessage = 3;
constexpr uint8_t kEmmTypeCardCommand = 6;
constexpr uint8_t kBroadcastDataType = 4;
constexpr uint8_t kMailRecordTag = 0x81;
constexpr uint8_t kTextRecordTag = 0x85;
constexpr uint8_t kTextDescriptorTag = 0x82;
constexpr uint8_t kRedirectionDescriptorTag = 0x83;

// Where an EMM's fields sit in the section.
constexpr std::size_t kEmmCardIdOffset = 5;
constexpr std::size_t kEmmParameterOffset = 13;
constexpr std::size_t kEmmTypeOffset = 14;
constexpr std::size_t kEmmBodyOffset = 19;

struct MailRecordFields {
    uint32_t id = 0;
    uint32_t infoWord = 0;
    std::vector<uint8_t> infoBytes;
    std::string title;
    std::string content;
};

struct TextRecordFields {
    uint32_t id = 0;
    std::vector<uint8_t> first, second;
    std::string text;
};

// On the wire: the tag, a length byte (body.size()), the body.
struct TaggedBody {
    uint8_t tag = 0;
    std::vector<uint8_t> body;
};

// id, infoWord (big-endian), then infoBytes, title and content, each after its length byte.
std::vector<uint8_t> MailRecordBody(const MailRecordFields& fields);
// id, four zero bytes, then first, second and text, each after its length byte.
std::vector<uint8_t> TextRecordBody(const TextRecordFields& fields);

// A message EMM for the card: the record area's length (u16), then the records.
std::vector<uint8_t> BuildMessageEmm(const CardId& card, const std::vector<TaggedBody>& records);

// On the wire: the code, e = data.size(), a zero byte, the data.
struct CardCommandEntry {
    uint8_t code = 0;
    std::vector<uint8_t> data;
};

// A card-command EMM: the sequence number, four zero bytes, the entry count k (u16), the entries,
// then a trailer that only the operator can make and that holds for this card alone:
// AES-128-ECB under the operator key of [sequence | card id | k | 0 0].
std::vector<uint8_t> BuildCardCommandEmm(const CardId& card, uint32_t sequence,
                                         const std::vector<CardCommandEntry>& entries,
                                         const AesKey& operatorKey, uint8_t parameter = 0);

// What every terminal whose card id matches address under mask shows or follows.
struct BroadcastText {
    uint32_t id = 0;
    CardId address{}, mask{};
    std::string text;
};

struct BroadcastRedirection {
    uint32_t id = 0;
    CardId address{}, mask{};
    uint16_t first = 0, second = 0, third = 0;
};

// id, address, mask, then the text after its length byte.
std::vector<uint8_t> TextDescriptorBody(const BroadcastText& text);
// id, address, mask, the three u16 (big-endian).
std::vector<uint8_t> RedirectionDescriptorBody(const BroadcastRedirection& redirection);

// The broadcast data section: the descriptors' total length D (u16), then the descriptors.
std::vector<uint8_t> BuildBroadcastSection(const std::vector<TaggedBody>& descriptors);

}  // namespace krtools
