#include "common/service_map_section.h"

#include "common/byte_writer.h"
#include "common/section_builder.h"

namespace krtools {

std::vector<uint8_t> BuildServiceMapSection(uint8_t version,
                                            const std::vector<ServiceMapEntry>& entries) {
    std::vector<uint8_t> section = {kServiceMapTableId, 0, 0, static_cast<uint8_t>(version & 0x1F),
                                    static_cast<uint8_t>(entries.size())};
    for (const ServiceMapEntry& e : entries) {
        AppendBe16(section, e.onid);
        AppendBe16(section, e.tsid);
        AppendBe16(section, e.svid);
        section.push_back(e.flagAndRating);
        AppendBe16(section, e.ecmPid);
        section.push_back(static_cast<uint8_t>(e.name.size()));
        AppendText(section, e.name);
        section.push_back(static_cast<uint8_t>(e.list.size()));
        for (const uint16_t value : e.list)
            AppendBe16(section, value);
        std::vector<uint8_t> descriptors;
        for (const auto& [address, port] : e.addresses) {
            descriptors.push_back(kAddressDescriptorTag);
            descriptors.push_back(6);
            AppendBe32(descriptors, address);
            AppendBe16(descriptors, port);
        }
        descriptors.insert(descriptors.end(), e.otherDescriptors.begin(), e.otherDescriptors.end());
        section.push_back(static_cast<uint8_t>(descriptors.size()));
        section.insert(section.end(), descriptors.begin(), descriptors.end());
    }
    PutBe16At(section, 1, static_cast<uint16_t>(0x7000 | ((section.size() + 4 - 3) & 0x0FFF)));
    AppendBe32(section, SectionCrc(section.data() + 3, section.size() - 3));
    return section;
}

}  // namespace krtools
