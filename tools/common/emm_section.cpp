#include "common/emm_section.h"

#include <algorithm>

#include "common/byte_writer.h"
#include "common/ca_section.h"

namespace krtools {

namespace {

using Bytes = std::vector<uint8_t>;

// Lengths are written modulo 256 on purpose: a test may want one that does not fit.
void AppendCounted(Bytes& out, const auto& bytes) {
    out.push_back(static_cast<uint8_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void AppendTagged(Bytes& out, const std::vector<TaggedBody>& items) {
    for (const TaggedBody& item : items) {
        out.push_back(item.tag);
        AppendCounted(out, item.body);
    }
}

// Section bytes 5..18 for a card: its id, the parameter, the type, four zero bytes.
Bytes EmmHead(const CardId& card, uint8_t parameter, uint8_t type) {
    Bytes body(card.begin(), card.end());
    body.push_back(parameter);
    body.push_back(type);
    body.resize(body.size() + 4, 0x00);
    return body;
}

// A u16 length, then what it counts.
void AppendArea(Bytes& out, const Bytes& area) {
    AppendBe16(out, static_cast<uint16_t>(area.size()));
    out.insert(out.end(), area.begin(), area.end());
}

void AppendAddressing(Bytes& out, uint32_t id, const CardId& address, const CardId& mask) {
    AppendBe32(out, id);
    out.insert(out.end(), address.begin(), address.end());
    out.insert(out.end(), mask.begin(), mask.end());
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
    body.resize(body.size() + 4, 0x00);
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
    body.resize(body.size() + 4, 0x00);
    AppendBe16(body, count);
    for (const CardCommandEntry& e : entries) {
        body.push_back(e.code);
        body.push_back(static_cast<uint8_t>(e.data.size()));
        body.push_back(0x00);
        body.insert(body.end(), e.data.begin(), e.data.end());
    }
    Bytes seal;
    AppendBe32(seal, sequence);
    seal.insert(seal.end(), card.begin(), card.end());
    AppendBe16(seal, count);
    seal.resize(16, 0x00);
    AesBlock block{};
    std::copy(seal.begin(), seal.end(), block.begin());
    const AesBlock trailer = AesEncryptBlock(operatorKey, block);
    body.insert(body.end(), trailer.begin(), trailer.end());
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
    Bytes body(9, 0x00);
    body.push_back(kBroadcastDataType);
    body.resize(body.size() + 4, 0x00);
    AppendArea(body, area);
    return BuildCaSection(kCaPrivateTableId, body);
}

}  // namespace krtools
