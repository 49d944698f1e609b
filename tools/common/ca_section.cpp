#include "common/ca_section.h"

#include "common/byte_writer.h"
#include "common/section_builder.h"

namespace krtools {

std::vector<uint8_t> BuildCaSection(uint8_t tableId, const std::vector<uint8_t>& body,
                                    bool rightCrc) {
    std::vector<uint8_t> section;
    const size_t length = 2 + body.size() + 4;  // after the length field
    section.push_back(tableId);
    AppendBe16(section, static_cast<uint16_t>(0x7000 | (length & 0x0FFF)));
    section.push_back('K');
    section.push_back('R');
    section.insert(section.end(), body.begin(), body.end());
    uint32_t crc = SectionCrc(section.data() + 3, section.size() - 3);
    if (!rightCrc) crc ^= 0x1;
    AppendBe32(section, crc);
    return section;
}

}  // namespace krtools
