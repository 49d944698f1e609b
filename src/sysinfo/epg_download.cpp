#include "sysinfo/epg_download.h"

#include <krmodule/krmodule.h>

#include <cstring>

#include "core/counters.h"
#include "core/log.h"
#include "epg/epg_container.h"
#include "epg/epg_database.h"
#include "intake/block_header.h"
#include "intake/request_table.h"
#include "intake/shared_filter.h"

namespace kr {
namespace {

bool BlockReceived(const EpgDownloadBuffer& buffer, uint32_t index) {
    return (buffer.receivedMap[index / 8] & (1u << (index % 8))) != 0;
}

// Every block 1..totalBlocks is in. Counting alone is not enough: blocks stored under a larger
// total announced earlier would make up for missing ones.
bool FileComplete(const EpgDownloadBuffer& buffer) {
    if (buffer.totalBlocks == 0 || buffer.receivedBlocks != buffer.totalBlocks) return false;
    for (uint32_t i = 0; i < buffer.totalBlocks; ++i) {
        if (!BlockReceived(buffer, i)) return false;
    }
    return true;
}

// A block the buffer cannot hold, or one that does not fit its own header, is dropped.
bool BlockFits(const BlockHeader& header, int32_t read) {
    return read == kBlockRead && header.blockNumber >= 1 && header.blockNumber <= kMaxEpgBlocks &&
           header.totalBlocks >= 1 && header.totalBlocks <= kMaxEpgBlocks &&
           header.blockNumber <= header.totalBlocks && header.dataLength <= kEpgBlockDataSize;
}

void PublishProgress(const EpgDownloadBuffer& buffer) {
    SysinfoState& s = Sysinfo();
    s.receivedBlocks.store(buffer.receivedBlocks);
    s.totalBlocks.store(buffer.totalBlocks);
}

// The file is complete: stop the download and hand the container, up to the end of its last
// block, to the EPG parsers. Called with the EPG lock held; the caller notifies the host of the
// changes returned after letting go of it.
uint32_t FinishEpgDownload(EpgDownloadBuffer* buffer) {
    SysinfoState& s = Sysinfo();
    kr_Print(0x22, "EPG blocks has been already received.");
    StopRequestsByType(kTypeEpgDownload);
    s.downloading.store(0);
    s.localVersion = s.downloadingVersion;
    const uint32_t last = buffer->totalBlocks - 1;
    const uint32_t extent = last * kEpgBlockDataSize + buffer->blockLength[last];
    if (kr_ProcessEpgContainer(buffer->data, extent) < 0) Tally(Count::EpgContainersRefused);
    return PendingEpgChanges();
}

}  // namespace

void ResetDownloadBuffer(EpgDownloadBuffer* buffer) {
    if (buffer == nullptr) return;
    buffer->totalBlocks = 0;
    buffer->receivedBlocks = 0;
    buffer->totalBytes = 0;
    std::memset(buffer->receivedMap, 0, sizeof buffer->receivedMap);
    std::memset(buffer->blockLength, 0, sizeof buffer->blockLength);
    // A block shorter than its slot leaves a gap: it reads as zeros, never as an older file.
    std::memset(buffer->data, 0, sizeof buffer->data);
    PublishProgress(*buffer);
}

void StopEpgDownload() {
    EpgLockGuard hold;
    kr_Print(0x22, "Stop Epg download");
    StopRequestsByType(kTypeEpgDownload);
    Sysinfo().downloading.store(0);
}

int32_t StartEpgDownload(const EpgInfo* epgInfo, EpgDownloadBuffer* buffer) {
    if (epgInfo == nullptr || buffer == nullptr) return KR_NULL_ARG;
    ResetDownloadBuffer(buffer);
    kr_Print(0x22, "Set EPG filter");
    ModuleLockGuard hold;  // the entry stays reserved until its filter runs
    RequestEntry* entry = nullptr;
    if (AllotRequest(&entry) != 0) return -1;
    entry->type = kTypeEpgDownload;
    QueueForType(kTypeEpgDownload, &entry->queue);
    entry->viaSharedFilter = 1;
    entry->pid = epgInfo->pid;
    entry->ipAddress = epgInfo->ipAddress;
    entry->udpPort = epgInfo->udpPort;

    IpFilterRequest filter{};
    filter.pid = epgInfo->pid;
    filter.requestId = entry->requestId;
    BuildIpUdpFilter(filter.match, filter.mask, epgInfo->ipAddress, epgInfo->udpPort);
    kr_Print(0x23, "Request ID : %2d", static_cast<int>(entry->requestId));
    if (AttachConsumer(entry, filter) == 0) {
        kr_Print(0x21, "Start download epg.");
        return 0;
    }
    kr_Print(0x21, "Set EPG filter faild!");
    return -1;
}

void ParseEpgBlock(std::span<const uint8_t> payload, EpgDownloadBuffer* buffer) {
    kr_Print(0x24, "Parse epg retrieve.");
    if (buffer == nullptr) return;
    BlockHeader header{};
    const int32_t read = ReadBlockHeader(payload, &header);
    if (read != kBlockHeaderCut && header.kind == kBlockKindNotMulticast) {
        Tally(Count::BlocksNotMulticast);
        kr_Print(0x23, "Not the multicast data.");
        return;
    }
    if (!BlockFits(header, read)) {
        Tally(Count::EpgBlocksInvalid);
        kr_Print(0x23, "Invalid epg block, Block Num : %5u, Total NUM : %5u, Data len : %5u",
                 header.blockNumber, header.totalBlocks, header.dataLength);
        return;
    }

    SysinfoState& s = Sysinfo();
    bool completed = false;
    uint32_t changes = 0;
    {
        EpgLockGuard hold;
        // A block taken from the queue just before kr_T2K_ClearEpg stopped the download.
        if (s.downloading.load() == 0) return;
        const uint32_t index = header.blockNumber - 1;
        if (!BlockReceived(*buffer, index)) {
            kr_Print(0x24, "Block Num : %5d, Total NUM : %5d, Received NUM : %5d",
                     static_cast<int>(header.blockNumber), static_cast<int>(buffer->totalBlocks),
                     static_cast<int>(buffer->receivedBlocks));
            if (!header.data.empty()) {
                std::memcpy(buffer->data + index * kEpgBlockDataSize, header.data.data(),
                            header.data.size());
            }
            buffer->blockLength[index] = static_cast<uint16_t>(header.data.size());
            buffer->totalBlocks = header.totalBlocks;
            buffer->receivedBlocks += 1;
            buffer->totalBytes += static_cast<uint32_t>(header.data.size());
            buffer->receivedMap[index / 8] =
                static_cast<uint8_t>(buffer->receivedMap[index / 8] | (1u << (index % 8)));
            PublishProgress(*buffer);
        } else {
            Tally(Count::EpgBlocksRepeated);
        }
        if (FileComplete(*buffer)) {
            changes = FinishEpgDownload(buffer);
            completed = true;
        }
    }
    // The host may fetch the new EPG from its notifier, or wait there for its own threads. The
    // notice says what the parse changed, even if a fetch or a clear came in between.
    if (completed) NotifyEpgChanges(0xFFFFFFFFu, changes);
}

}  // namespace kr

using namespace kr;

int32_t kr_T2K_ClearEpg(void) {
    kr_Print(0x22, "Clear EPG ...");
    SysinfoState& s = Sysinfo();
    EpgLockGuard hold;
    if (s.downloading.load() != 0) StopEpgDownload();
    kr_EpgReset();
    // The next system information downloads the EPG again.
    s.localVersion = 0;
    return KR_OK;
}
