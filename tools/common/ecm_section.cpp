#include "common/ecm_section.h"

#include <algorithm>

#include "common/byte_writer.h"
#include "common/section_builder.h"

namespace krtools {

std::vector<uint8_t> BuildEcmSection(const EcmFields& f, const AesKey& operatorKey) {
    std::vector<uint8_t> section = {kEcmTableId, 0, 0};
    AppendBe16(section, f.onid);
    AppendBe16(section, f.tsid);
    AppendBe16(section, f.svid);
    section.push_back(f.version);
    section.push_back(static_cast<uint8_t>(f.type << 6));

    std::vector<uint8_t> cardPart;
    AppendBe16(cardPart, f.entitlementId);
    AppendBe32(cardPart, f.broadcastTime);
    cardPart.push_back(f.keyNumber);
    cardPart.resize(34, 0x00);
    AppendBe16(cardPart, f.timeOfDay);
    cardPart.resize(kEcmCardPartSize, 0x00);
    section.insert(section.end(), cardPart.begin(), cardPart.end());

    section.resize(kEcmBlockCountOffset, 0x00);
    section.push_back(static_cast<uint8_t>(f.blocks.size()));
    // The check block ties the words to this card part: a card part copied from another ECM
    // does not decrypt to it.
    AesBlock head{};
    std::copy_n(cardPart.begin(), head.size(), head.begin());
    const AesBlock check = AesEncryptBlock(operatorKey, head);
    for (const ControlWordBlock& b : f.blocks) {
        AppendBe16(section, b.parity);
        AppendBe16(section, b.period);
        const AesBlock word = AesEncryptBlock(operatorKey, b.controlWord);
        section.insert(section.end(), word.begin(), word.end());
        if (f.type == 1) section.insert(section.end(), check.begin(), check.end());
    }

    PutBe16At(section, 1, static_cast<uint16_t>(0x7000 | ((section.size() + 4 - 3) & 0x0FFF)));
    AppendBe32(section, SectionCrc(section.data() + 3, section.size() - 3));
    return section;
}

}  // namespace krtools
