#include "common/emm_section.h"

#include <algorithm>

#include "common/byte_writer.h"
#include "common/ca_section.h"

namespace krtools {

namespace {

using Bytes = std::vector<uint8_t>;

// Byte by byte: the optimiser's bounds warnings misread range inserts into a growing vector.
void AppendAll(Bytes& out, const auto& bytes) {
    for (const auto b : bytes)
        out.push_back(static_cast<uint8_t>(b));
}

void AppendZeros(Bytes& out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(0x00);
}

// Lengths are written modulo 256 on purpose: a test may want one that does not fit.
void AppendCounted(Bytes& out, const auto& bytes) {
    out.push_back(static_cast<uint8_t>(bytes.size()));
    AppendAll(out, bytes);
}

void AppendTagged(Bytes& out, const std::vector<TaggedBody>& items) {
    for (const TaggedBody& item : items) {
        out.push_back(item.tag);
        AppendCounted(out, item.body);
    }
}

// Section bytes 5..18 for a card: its id, the parameter, the type, four zero bytes.
Bytes EmmHead(const CardId& card, uint8_t parameter, uint8_t type) {
    Bytes body;
    AppendAll(body, card);
    body.push_back(parameter);
    body.push_back(type);
    AppendZeros(body, 4);
    return body;
}

// A u16 length, then what it counts.
void AppendArea(Bytes& out, const Bytes& area) {
    AppendBe16(out, static_cast<uint16_t>(area.size()));
    AppendAll(out, area);
}

void AppendAddressing(Bytes& out, uint32_t id, const CardId& address, const CardId& mask) {
    AppendBe32(out, id);
    AppendAll(out, address);
    AppendAll(out, mask);
}

}  // namespace

Bytes MailRecordBody(const MailRecordFields& f) {
    Bytes body;
    AppendBe32(body, f.id);
    AppendBe32(body, f.infoWord);
    AppendCounted(body, f.infoBytes);
    AppendCounted(body, f.title);
    AppendCounted(body, f.content);
    return body;
}

Bytes TextRecordBody(const TextRecordFields& f) {
    Bytes body;
    AppendBe32(body, f.id);
    AppendZeros(body, 4);
    AppendCounted(body, f.first);
    AppendCounted(body, f.second);
    AppendCounted(body, f.text);
    return body;
}

Bytes BuildMessageEmm(const CardId& card, const std::vector<TaggedBody>& records) {
    Bytes area;
    AppendTagged(area, records);
    Bytes body = EmmHead(card, 0, kEmmTypeMessage);
    AppendArea(body, area);
    return BuildCaSection(kCaPrivateTableId, body);
}

Bytes BuildCardCommandEmm(const CardId& card, uint32_t sequence,
                          const std::vector<CardCommandEntry>& entries, const AesKey& operatorKey,
                          uint8_t parameter) {
    const uint16_t count = static_cast<uint16_t>(entries.size());
    Bytes body = EmmHead(card, parameter, kEmmTypeCardCommand);
    AppendBe32(body, sequence);
    AppendZeros(body, 4);
    AppendBe16(body, count);
    for (const CardCommandEntry& e : entries) {
        body.push_back(e.code);
        body.push_back(static_cast<uint8_t>(e.data.size()));
        body.push_back(0x00);
        AppendAll(body, e.data);
    }
    Bytes seal;
    AppendBe32(seal, sequence);
    AppendAll(seal, card);
    AppendBe16(seal, count);
    AppendZeros(seal, 2);
    AesBlock block{};
    std::copy(seal.begin(), seal.end(), block.begin());
    const AesBlock trailer = AesEncryptBlock(operatorKey, block);
    AppendAll(body, trailer);
    return BuildCaSection(kCaPrivateTableId, body);
}

Bytes TextDescriptorBody(const BroadcastText& t) {
    Bytes body;
    AppendAddressing(body, t.id, t.address, t.mask);
    AppendCounted(body, t.text);
    return body;
}

Bytes RedirectionDescriptorBody(const BroadcastRedirection& r) {
    Bytes body;
    AppendAddressing(body, r.id, r.address, r.mask);
    AppendBe16(body, r.first);
    AppendBe16(body, r.second);
    AppendBe16(body, r.third);
    return body;
}

Bytes BuildBroadcastSection(const std::vector<TaggedBody>& descriptors) {
    Bytes area;
    AppendTagged(area, descriptors);
    Bytes body;
    AppendZeros(body, 9);
    body.push_back(kBroadcastDataType);
    AppendZeros(body, 4);
    AppendArea(body, area);
    return BuildCaSection(kCaPrivateTableId, body);
}

}  // namespace krtools
