#include "sysinfo/sysinfo_parse.h"

#include <cstring>

#include "core/byte_reader.h"
#include "core/counters.h"
#include "core/date.h"
#include "core/host.h"
#include "core/log.h"
#include "intake/request_table.h"
#include "sysinfo/epg_download.h"

namespace kr {
namespace {

constexpr uint32_t kShowText = 0xFF;

// A download starts when the announced version is not the one held and not the one already
// being downloaded: a repeated announcement leaves a running download alone.
void CheckEpgVersion(const EpgInfo& info, EpgDownloadBuffer* buffer) {
    SysinfoState& s = Sysinfo();
    EpgLockGuard hold;
    const bool downloading = s.downloading.load() != 0;
    if (info.epgVersion == s.localVersion ||
        (downloading && info.epgVersion == s.downloadingVersion)) {
        return;
    }
    kr_Print(0x23, "EPG version : %X", info.epgVersion);
    kr_Print(0x23, "Local version : %X", s.localVersion);
    if (downloading) kr_Print(0x23, "Downloading version : %X", s.downloadingVersion);
    StopEpgDownload();
    if (StartEpgDownload(&info, buffer) == 0) {
        s.downloadingVersion = info.epgVersion;
        s.downloading.store(1);
    }
}

// A message already on the screen is not shown again; any other text, a shorter one that
// begins like the shown one included, replaces it.
void ShowSysinfoMessage(std::span<const uint8_t> text) {
    SysinfoState& s = Sysinfo();
    const auto length = static_cast<uint32_t>(text.size());
    if (length == s.messageLength && std::memcmp(text.data(), s.message, length) == 0) return;
    std::memset(s.message, 0, sizeof s.message);
    std::memcpy(s.message, text.data(), length);
    s.messageLength = length;
    if (Host().ShowMessage != nullptr) Host().ShowMessage(kShowText, s.message, 0, 0);
}

}  // namespace

void ParseSysinfo(std::span<const uint8_t> payload, EpgDownloadBuffer* buffer) {
    kr_Print(0x24, "Parse sysinfo retrieve.");
    ByteReader reader(payload);
    const uint32_t magic = reader.Le32();
    if (!reader.ok() || magic != kSysinfoMagic) {
        Tally(Count::SysinfoInvalid);
        kr_Print(0x24, "Invalid sysinfo header : 0x%8.8X", magic);
        return;
    }
    char stamp[kSysinfoStampLength + 1] = {};
    reader.Seek(kSysinfoStampOffset);
    reader.CopyTo(reinterpret_cast<uint8_t*>(stamp), kSysinfoStampLength);
    reader.Seek(kSysinfoPidOffset);
    EpgInfo info{};
    info.pid = static_cast<uint16_t>(reader.Le32());
    info.ipAddress = reader.Le32();
    info.udpPort = static_cast<uint16_t>(reader.Le32());
    const uint32_t messageLength = reader.Le32();
    // A payload that ends inside the fixed fields announces nothing.
    if (!reader.ok()) {
        Tally(Count::SysinfoInvalid);
        kr_Print(0x24, "Invalid sysinfo length : %d", static_cast<int>(payload.size()));
        return;
    }
    info.epgVersion = kr_ParseVersionStamp(stamp);
    Sysinfo().epgInfo = info;
    CheckEpgVersion(info, buffer);

    if (messageLength == 0) return;
    // Only the text the datagram really carries is taken, and at most what the message holds.
    std::size_t n = messageLength < kMessageSize - 1 ? messageLength : kMessageSize - 1;
    if (n > reader.remaining()) n = reader.remaining();
    if (n == 0) return;
    ShowSysinfoMessage(reader.Bytes(n));
}

}  // namespace kr
