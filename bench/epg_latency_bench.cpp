// What the host's own calls cost while the EPG download hands a 1 MiB container to the parsers
// and the module saves the new live EPG through a store that takes 100 ms per write. One thread
// offers stream sections through kr_T2K_SendRetrieved like a 30 Mbit/s multiplex, another fetches
// and releases the live EPG every 250 us; every call that starts while the parse or the save runs
// is timed. Neither call should wait for either: their worst case is the figure to watch.
#include <benchmark/benchmark.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/epg_container.h"
#include "epg/epg_container.h"
#include "support/section_builder.h"
#include "support/stream_builder.h"

namespace epg_latency_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPrograms = 32;
constexpr uint32_t kResources = 64;
constexpr uint32_t kIcons = 4;
constexpr std::size_t kIconBytes = 4000;
constexpr std::size_t kLivePadding = 96 * 1024;
constexpr std::size_t kContainerTarget = 1024 * 1024;
// A program EPG line keeps at most 5119 characters; stay clear of the cut.
constexpr std::size_t kContentMax = 5000;

// The program that plays throughout; its datagrams are what the sender offers.
constexpr uint32_t kPlayedProgram = 1;
constexpr uint32_t kGroup = 0xEF030301;
constexpr uint16_t kVideoPort = 5000;
constexpr uint16_t kPid = 0x0501;
constexpr std::size_t kRtpBytes = 1400;

constexpr auto kSendInterval = std::chrono::nanoseconds(
    static_cast<int64_t>(1e9 * static_cast<double>(kRtpBytes + 28) * 8 / 30e6));
constexpr auto kFetchInterval = std::chrono::microseconds(250);
constexpr auto kStoreWriteDelay = std::chrono::milliseconds(100);

// ---- The host's store: a plain buffer whose write-back is slow ---------------------------------

constexpr uint32_t kStoreBytes = 0x20000;
alignas(16) uint8_t storeImage[kStoreBytes];
std::atomic<uint32_t> storeWrites{0};

int32_t GetStoreBuffer(uint32_t* size, uintptr_t* handle) {
    *size = kStoreBytes;
    *handle = reinterpret_cast<uintptr_t>(storeImage);
    return 0;
}

int32_t ReadStore(uintptr_t handle, uint32_t* length, uint8_t* destination) {
    std::memcpy(destination, reinterpret_cast<const uint8_t*>(handle),
                std::min<uint32_t>(*length, kStoreBytes));
    return 0;
}

int32_t WriteStore(uintptr_t handle, uint32_t* length, const uint8_t* source) {
    std::memcpy(reinterpret_cast<uint8_t*>(handle), source,
                std::min<uint32_t>(*length, kStoreBytes));
    std::this_thread::sleep_for(kStoreWriteDelay);
    storeWrites.fetch_add(1);
    return 0;
}

// The played program's shared filter is the one on its PID; others (system information) are
// started too.
std::atomic<uint32_t> streamFilterId{0};
int32_t AcceptFilter(uint32_t requestId, SectionFilterParams params) {
    if (params.pid == kPid) streamFilterId.store(requestId);
    return 0;
}

std::atomic<uint32_t> framesSeen{0};
int32_t OnFrame(const void*) {
    framesSeen.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// ---- The container -------------------------------------------------------------------------

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// "YYYYMMDDhhmmss": one stamp per serial, a minute apart (the packed form drops odd seconds).
std::string VersionStamp(uint32_t serial) {
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "202612%02u%02u%02u00", 1 + serial / 1440 % 28,
                  serial / 60 % 24, serial % 60);
    return stamp;
}

// Schedule text of one day, length characters of programme titles.
std::string DayContent(uint32_t program, uint32_t day, std::size_t length) {
    std::string text;
    text.reserve(length + 64);
    for (uint32_t slot = 0; text.size() < length; ++slot) {
        text += std::to_string(slot % 24) + ":" + (slot % 2 != 0 ? "30" : "00") + " Programme " +
                std::to_string(program) + "." + std::to_string(day) + "." + std::to_string(slot) +
                ", a documentary in several parts; ";
    }
    text.resize(length);
    return text;
}

std::string LiveEpgText(const std::string& version) {
    std::string text =
        "[LIVE_EPG]\nCOUNT=" + std::to_string(kPrograms) + "\nVERSION=" + version + "\n";
    // Lines before the first section belong to no program, but the parser still reads them.
    const std::string filler =
        "#Remark=Transmission notes for the operators of the regional head ends, not shown\n";
    while (text.size() < kLivePadding)
        text += filler;
    for (uint32_t p = 1; p <= kPrograms; ++p) {
        const bool played = p == kPlayedProgram;
        const std::string address = played ? "239.3.3.1" : "239.81.1." + std::to_string(p);
        const uint16_t port = played ? kVideoPort : static_cast<uint16_t>(6000 + 10 * p);
        text += "[PROGRAM" + std::to_string(p) + "]\nProgramID=" + std::to_string(p) +
                "\nProgramName=Channel " + std::to_string(p) +
                "\nProgramSort=4\nCA=0\nFreq=626\nChannel=" + address + ":" + std::to_string(port) +
                "\nPid=" + std::to_string(played ? kPid : 0x0600 + p) +
                "\nAbstract=News, sport, films and the weather around the clock on channel " +
                std::to_string(p) + "\nInternetLink=http://ch" + std::to_string(p) +
                ".example.invalid/\nEpgInfoFile=ch" + std::to_string(p) +
                ".xml\n#STARTSDP\nv=0\ns=Channel " + std::to_string(p) + "\nm=video " +
                std::to_string(port) +
                " RTP/AVP 96\na=rtpmap:96 H264/90000\na=fmtp:96 packetization-mode=1; "
                "config=0142E01EFFE100096742E01E8D6816053201000468CE3C80\nm=audio " +
                std::to_string(port + 2) +
                " RTP/AVP 97\na=rtpmap:97 MP4A-LATM/48000/2\na=fmtp:97 config=1190\n#ENDSDP\n";
    }
    return text;
}

std::string FileEpgText(const std::string& version) {
    std::string text =
        "[FILE_EPG]\nCOUNT=" + std::to_string(kResources) + "\nVERSION=" + version + "\n";
    static const char* const kSorts[] = {"N", "V", "A", "BI", "JN"};
    for (uint32_t r = 1; r <= kResources; ++r) {
        text += "[PROGRAM" + std::to_string(r) + "]\nProgramID=" + std::to_string(2000 + r) +
                "\nProgramName=Recording " + std::to_string(r) + "\nFileName=/Archive$" +
                std::to_string(r % 5 + 1) + "/Series " + std::to_string(r % 7) + "/episode_" +
                std::to_string(r) + ".ts\nProgramSort=" + kSorts[r % 5] +
                "\nSize=" + std::to_string(1048576 * r) +
                "\nFreq=626\nPid=" + std::to_string(768 + r) +
                "\nBandwidth=1024\nCA=0\nChannel=239.81.2." + std::to_string(r) + ":7000\n";
    }
    return text;
}

std::string ProgramEpgText(const std::string& version, std::size_t contentLength) {
    std::string text =
        "[Program_EPG]\nCOUNT=" + std::to_string(kPrograms) + "\nVERSION=" + version + "\n";
    for (uint32_t p = 1; p <= kPrograms; ++p) {
        text += "[PROGRAM" + std::to_string(p) + "]\nProgramID=" + std::to_string(p) + "\n";
        for (uint32_t d = 1; d <= 7; ++d) {
            text += "Day" + std::to_string(d) + "=Day " + std::to_string(d) + " of the week\n";
            text += "Content" + std::to_string(d) + "=" + DayContent(p, d, contentLength) + "\n";
        }
    }
    return text;
}

std::vector<uint8_t> IconFile(uint32_t number) {
    std::vector<uint8_t> icon(kIconBytes);
    icon[0] = 'B';
    icon[1] = 'M';
    for (std::size_t i = 2; i < icon.size(); ++i)
        icon[i] = static_cast<uint8_t>(i * 7 + number);
    return icon;
}

// A container of about 1 MiB whose three EPG files all carry the given version; the program EPG
// schedules take up what the other files leave.
std::vector<uint8_t> EpgContainer(uint32_t serial) {
    const std::string version = VersionStamp(serial);
    std::vector<krtools::EpgFile> files;
    files.push_back({"LiveEPG.txt", Bytes(LiveEpgText(version))});
    files.push_back({"FileEPG.txt", Bytes(FileEpgText(version))});
    for (uint32_t n = 1; n <= kIcons; ++n)
        files.push_back({"ico\\" + std::to_string(n) + ".bmp", IconFile(n)});
    std::size_t used = 0;
    for (const auto& file : files)
        used += file.bytes.size();
    const std::size_t perDay = (kContainerTarget - used) / (kPrograms * 7);
    files.insert(
        files.begin() + 2,
        {"ProgramEPG.txt", Bytes(ProgramEpgText(version, std::min(perDay - 40, kContentMax)))});
    return krtools::BuildEpgContainer(files);
}

// ---- The host's threads --------------------------------------------------------------------

// Calls are timed only while the window is open, so that the figures are those of the parse and
// the save and not of the quiet time between them.
std::atomic<bool> windowOpen{false};
std::atomic<bool> running{false};

std::vector<uint8_t> FrameSection(uint32_t index) {
    krtest::RtpPacketFields packet;
    packet.seq = static_cast<uint16_t>(index);
    packet.timestamp = index + 1;
    packet.marker = true;
    packet.media = krtest::FrameStart(0xB6, kRtpBytes - 18);
    krtest::Datagram d;
    d.destinationAddress = kGroup;
    d.destinationPort = kVideoPort;
    d.payload = krtest::BuildRtpPayload(packet);
    return krtest::BuildDatagramSection(d);
}

int64_t NsSince(Clock::time_point begin) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count();
}

struct SenderResult {
    std::vector<int64_t> ns;
    int64_t refused = 0;      // the pool was full: the stream worker fell behind
    uint64_t accepted = 0;    // sections taken, each a frame for the host
    int32_t refusal = KR_OK;  // the first answer other than taken or pool full
};

void Sender(int32_t filterId, SenderResult* result) {
    std::vector<std::vector<uint8_t>> sections;
    constexpr uint32_t kDistinct = 1024;
    for (uint32_t i = 0; i < kDistinct; ++i)
        sections.push_back(FrameSection(i));
    result->ns.reserve(1 << 16);
    auto next = Clock::now();
    for (uint32_t i = 0; running.load(std::memory_order_relaxed); ++i) {
        std::this_thread::sleep_until(next);
        next += kSendInterval;
        const auto& s = sections[i % kDistinct];
        const bool timed = windowOpen.load(std::memory_order_acquire);
        const auto begin = Clock::now();
        const int32_t r =
            kr_T2K_SendRetrieved(filterId, 0, s.data(), static_cast<int32_t>(s.size()));
        const int64_t ns = NsSince(begin);
        if (r == KR_OK) {
            ++result->accepted;
        } else if (r != KR_NO_NODE && result->refusal == KR_OK) {
            result->refusal = r;
        }
        if (!timed) continue;
        result->ns.push_back(ns);
        if (r == KR_NO_NODE) ++result->refused;
    }
}

// Fetches the current live EPG and gives back the one fetched before, as a host does that shows
// the guide while it changes.
void Fetcher(std::vector<int64_t>* ns, uint32_t* versionsSeen) {
    ns->reserve(1 << 16);
    LiveEpg* held = nullptr;
    uint32_t lastVersion = 0;
    auto next = Clock::now();
    while (running.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_until(next);
        next += kFetchInterval;
        const bool timed = windowOpen.load(std::memory_order_acquire);
        const auto begin = Clock::now();
        LiveEpg* current = nullptr;
        if (kr_T2K_GetLiveEpg(&current) == KR_OK && held != nullptr && held != current)
            kr_T2K_ReleaseLiveEpg(held);
        if (current != nullptr) held = current;
        const int64_t elapsed = NsSince(begin);
        if (timed) ns->push_back(elapsed);
        if (current != nullptr && current->version != lastVersion) {
            lastVersion = current->version;
            ++*versionsSeen;
        }
    }
    if (held != nullptr) kr_T2K_ReleaseLiveEpg(held);
}

double PercentileUs(std::vector<int64_t> values, double p) {
    if (values.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
    return static_cast<double>(values[k]) / 1e3;
}

// Each iteration hands one new container to the parsers on a thread of its own, as the
// system-information worker does when the last block is in, and waits for parse and save.
void BM_HostCallsDuringEpgParseAndSave(benchmark::State& state) {
    InitRecord record{};
    record.sectionBufferCount = 8192;
    record.callbacks.SetSectionFilter = AcceptFilter;
    record.callbacks.GetStoreBuffer = GetStoreBuffer;
    record.callbacks.ReadStore = ReadStore;
    record.callbacks.WriteStore = WriteStore;
    streamFilterId.store(0);
    if (kr_T2K_Init(&record) != KR_OK) {
        state.SkipWithError("init failed");
        return;
    }
    // Containers alternate between two versions, neither that of the first one, so every
    // iteration parses and saves.
    static uint32_t serial = 0;
    serial += 3;
    const std::vector<uint8_t> first = EpgContainer(serial);
    const std::vector<uint8_t> containers[2] = {EpgContainer(serial + 1), EpgContainer(serial + 2)};
    kr::kr_ProcessEpgContainer(first.data(), static_cast<uint32_t>(first.size()));
    if (kr_T2K_StartProgram(kPlayedProgram, KR_DELIVER_FRAMES, OnFrame) != KR_OK ||
        streamFilterId.load() == 0) {
        kr_T2K_Finish();
        state.SkipWithError("program start failed");
        return;
    }
    const uint32_t writesBefore = storeWrites.load();
    framesSeen.store(0);

    SenderResult sends;
    std::vector<int64_t> fetches;
    uint32_t versionsSeen = 0;
    running.store(true);
    std::thread sender(Sender, static_cast<int32_t>(streamFilterId.load()), &sends);
    std::thread fetcher(Fetcher, &fetches, &versionsSeen);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    int64_t parseNs = 0;
    std::size_t which = 0;
    for (auto _ : state) {
        const std::vector<uint8_t>& container = containers[which++ % 2];
        windowOpen.store(true, std::memory_order_release);
        const auto begin = Clock::now();
        std::thread worker([&container] {
            kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
        });
        worker.join();
        parseNs += NsSince(begin);
        windowOpen.store(false, std::memory_order_release);
        // Lets the fetcher pick up the new live EPG and give back the old one, so that the next
        // parse finds a free buffer as it would between two downloads.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    running.store(false);
    sender.join();
    fetcher.join();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (framesSeen.load() < sends.accepted && Clock::now() < deadline)
        std::this_thread::yield();
    kr_T2K_Finish();

    const auto iterations = static_cast<double>(state.iterations());
    state.counters["send_max_us"] = PercentileUs(sends.ns, 1.0);
    state.counters["send_p99_us"] = PercentileUs(sends.ns, 0.99);
    state.counters["sends"] = static_cast<double>(sends.ns.size());
    state.counters["send_pool_full"] = static_cast<double>(sends.refused);
    state.counters["getlive_max_us"] = PercentileUs(fetches, 1.0);
    state.counters["getlive_p99_us"] = PercentileUs(fetches, 0.99);
    state.counters["getlives"] = static_cast<double>(fetches.size());
    state.counters["parse_save_ms"] = static_cast<double>(parseNs) / 1e6 / iterations;
    // One 100 ms write per iteration is the save; fewer means a parse went unsaved.
    const uint32_t writes = storeWrites.load() - writesBefore;
    state.counters["store_writes"] = static_cast<double>(writes);
    const auto iterationCount = static_cast<uint64_t>(state.iterations());
    const uint64_t framesLost =
        sends.accepted - std::min<uint64_t>(sends.accepted, framesSeen.load());
    const uint64_t savesLost = iterationCount - std::min<uint64_t>(iterationCount, writes);
    state.counters["lost"] = static_cast<double>(framesLost + savesLost);
    // Live EPG versions the host fetched after the first: one per iteration when none was
    // skipped as a version the module already had.
    state.counters["new_live_versions"] = static_cast<double>(versionsSeen) - 1;
    state.counters["container_kib"] = static_cast<double>(containers[0].size()) / 1024.0;
    state.SetBytesProcessed(static_cast<int64_t>(iterations) *
                            static_cast<int64_t>(containers[0].size()));
    if (sends.refusal != KR_OK) {
        state.SkipWithError(
            ("kr_T2K_SendRetrieved answered " + std::to_string(sends.refusal)).c_str());
    } else if (framesLost != 0) {
        state.SkipWithError("frames were lost on the way to the host");
    } else if (savesLost != 0) {
        state.SkipWithError("a new EPG was not saved");
    }
}
BENCHMARK(BM_HostCallsDuringEpgParseAndSave)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace epg_latency_bench
