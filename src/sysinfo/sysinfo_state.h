// The state of system information and the EPG download, shared by the SYS worker, the host's
// kr_T2K_ClearEpg and kr_T2K_GetKrdbStatus.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/platform.h"

namespace kr {

// Where system information arrives: a datagram to 239.81.90.1:8190 on PID 0x1FFE whose payload
// begins with the magic bytes BD BD 00 00.
constexpr uint16_t kSysinfoPid = 0x1FFE;
constexpr uint32_t kSysinfoAddress = 0xEF515A01;
constexpr uint16_t kSysinfoPort = 8190;
constexpr uint32_t kSysinfoMagic = 0x0000BDBD;

// A downloaded file is at most this many blocks of at most this many data bytes.
constexpr uint32_t kMaxEpgBlocks = 1024;
constexpr uint32_t kEpgBlockDataSize = 1400;

// The screen message keeps at most this many characters and its terminating NUL.
constexpr uint32_t kMessageSize = 1024;

// Where the EPG is carried, from the last valid system information.
struct EpgInfo {
    uint32_t epgVersion;  // the packed version stamp
    uint16_t pid;
    uint32_t ipAddress;
    uint16_t udpPort;
};

// Allocated once at start; block n of the file lies at (n - 1) * kEpgBlockDataSize in data.
struct EpgDownloadBuffer {
    uint32_t totalBlocks;                    // total announced by the last stored block
    uint32_t receivedBlocks;                 // distinct blocks stored
    uint8_t receivedMap[kMaxEpgBlocks / 8];  // block n is bit (n - 1) % 8 of byte (n - 1) / 8
    uint32_t totalBytes;
    // Data bytes of each stored block, so the reassembled file ends where its last block ends.
    uint16_t blockLength[kMaxEpgBlocks];
    uint8_t data[kMaxEpgBlocks * kEpgBlockDataSize];
};

struct SysinfoState {
    std::atomic<uint8_t> sysinfoPresent{0};  // datagrams arrive on the SYS queue
    EpgInfo epgInfo{};
    // The fields below change under the EPG lock only.
    uint32_t localVersion = 0;  // version of the EPG the module holds; 0 = none
    std::atomic<uint8_t> downloading{0};
    uint32_t downloadingVersion = 0;
    // Progress of the running download for kr_T2K_GetKrdbStatus, copied from the buffer.
    std::atomic<uint32_t> receivedBlocks{0};
    std::atomic<uint32_t> totalBlocks{0};
    // The last message shown (SYS worker only).
    char message[kMessageSize] = {};
    uint32_t messageLength = 0;
    LockHandle epgLock;
    EpgDownloadBuffer* buffer = nullptr;  // null when it could not be allocated
};

SysinfoState& Sysinfo();

// Holds the EPG lock, which is the module lock, so the version check, the hand-over and
// kr_T2K_ClearEpg stay serialised whatever happened at start and however shut-down overlaps.
class EpgLockGuard {
  public:
    EpgLockGuard();
    ~EpgLockGuard();
    EpgLockGuard(const EpgLockGuard&) = delete;
    EpgLockGuard& operator=(const EpgLockGuard&) = delete;

  private:
    ModuleLockGuard hold_;
};

}  // namespace kr
