// Raw delivery modes, and how sections move through the stream worker: stopped programs, no
// allocation while datagrams flow.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/fault_injection.h"
#include "epg/epg_container.h"
#include "epg/epg_database.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "playback/frame_states.h"
#include "playback/playback_fixture.h"
#include "support/alloc_counter.h"
#include "support/epg_builder.h"
#include "support/intake_fixture.h"
#include "support/section_builder.h"
#include "support/stream_builder.h"
#include "support/sysinfo_builder.h"
#include "sysinfo/sysinfo_state.h"

namespace {

using namespace krtest;

class StreamFlowTest : public PlaybackTest {
  protected:
    // Sections of RTP packets to one of kClear's ports, frameParts packets of mediaSize bytes
    // per frame.
    std::vector<std::vector<uint8_t>> RtpSections(uint16_t port, uint16_t count,
                                                  uint16_t frameParts, size_t mediaSize) const {
        std::vector<std::vector<uint8_t>> sections;
        for (uint16_t i = 0; i < count; ++i) {
            RtpPacketFields packet;
            packet.seq = i;
            packet.timestamp = 1000u + i / frameParts;
            packet.marker = i % frameParts == frameParts - 1;
            packet.media = FrameStart(0xB6, mediaSize);
            sections.push_back(SectionFor(kClear.address, port, BuildRtpPayload(packet)));
        }
        return sections;
    }
};

// Each raw mode hands over its part of the datagram, up to the section's CRC. A node that holds
// less than the part (the host handed over a cut section whose datagram still checks out) gives
// nothing instead of a negative length.
TEST_F(StreamFlowTest, RawModesHandOverTheirPartAndNeverReachPastTheNode) {
    std::vector<uint8_t> counting(333);
    for (size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<uint8_t>(i * 7);
    struct Case {
        uint32_t mode;
        size_t payload;  // UDP payload bytes
        size_t cut;      // section bytes handed over, 0: all
        size_t offset;   // where the part begins in the section
        bool delivered;
    };
    const Case cases[] = {
        {1, 333, 0, 40, true}, {2, 333, 0, 40, true}, {3, 333, 0, 32, true}, {4, 333, 0, 12, true},
        {5, 333, 0, 40, true}, {6, 333, 0, 0, false}, {1, 0, 43, 0, false},  {1, 0, 44, 40, true},
        {3, 0, 40, 32, true},  {4, 0, 40, 12, true},  {5, 16, 60, 40, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " cut " << c.cut);
        recorder.Clear();
        host.Clear();
        ASSERT_EQ(StartProgram(kCombined, c.mode), KR_OK);
        const std::vector<uint8_t> payload(counting.begin(),
                                           counting.begin() + static_cast<long>(c.payload));
        const std::vector<uint8_t> section = SectionFor(kCombined.address, kCombined.port, payload);
        ASSERT_EQ(Send(kCombined, kCombined.port, payload, c.cut), KR_OK);
        Drain();
        const auto got = recorder.Streams();
        ASSERT_EQ(got.size(), c.delivered ? 1u : 0u);
        if (c.delivered) {
            const size_t end = (c.cut > 0 ? c.cut : section.size()) - 4;
            EXPECT_EQ(got[0].programId, kCombined.id);
            EXPECT_EQ(got[0].deliveryMode, c.mode);
            EXPECT_EQ(got[0].bytes,
                      std::vector<uint8_t>(section.begin() + static_cast<long>(c.offset),
                                           section.begin() + static_cast<long>(end)));
        }
        EXPECT_EQ(host.HasDebugText("Stream retrieve length error: 43"), c.cut == 43);
        ASSERT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);
    }
}

TEST_F(StreamFlowTest, InvalidDatagramsAndMissingFunctionsDeliverNothing) {
    ASSERT_EQ(StartProgram(kCombined, 1), KR_OK);
    Datagram wrong;
    wrong.destinationAddress = kCombined.address;
    wrong.destinationPort = kCombined.port;
    wrong.payload.assign(100, 1);
    wrong.udpChecksum = UdpChecksum::Wrong;
    ASSERT_EQ(Deliver(HostFilter(kCombined.pid), BuildDatagramSection(wrong)), KR_OK);
    Drain();
    EXPECT_TRUE(host.HasDebugText("Invalid stream retrieve."));
    EXPECT_EQ(recorder.StreamCount(), 0u);
    ASSERT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);

    for (uint32_t mode : {0u, 1u}) {
        host.Clear();
        ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, mode, nullptr), KR_OK);
        ASSERT_EQ(Send(kCombined, kCombined.port, {1, 2, 3}), KR_OK);
        Drain();
        EXPECT_TRUE(host.HasDebugText("No data process function!")) << mode;
        ASSERT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);
    }
}

TEST_F(StreamFlowTest, StopReturnsOnlyWhenNoContentCallRunsOrFollows) {
    // The first delivery holds the worker, so the rest wait on the stream queue (or in the
    // worker's batch) while the program is stopped.
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    std::atomic<int> entered{0};
    recorder.SetGate([&] {
        entered.fetch_add(1);
        std::unique_lock<std::mutex> hold(mutex);
        released.wait(hold, [&] { return open; });
    });
    ASSERT_EQ(StartProgram(kCombined, 1), KR_OK);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Send(kCombined, kCombined.port, {1, 2, 3}), KR_OK);
    ASSERT_TRUE(host.WaitFor([&] { return entered.load() == 1; }));
    std::atomic<bool> stopReturned{false};
    std::thread stopper([&] {
        EXPECT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);
        stopReturned = true;
    });
    // The requests are gone at once; the stop itself waits for the running call.
    ASSERT_TRUE(host.WaitFor([&] { return kr::IsOwnerActive(kCombined.id) == KR_NO; }));
    EXPECT_FALSE(stopReturned.load());
    {
        std::lock_guard<std::mutex> hold(mutex);
        open = true;
    }
    released.notify_all();
    stopper.join();
    Drain();
    EXPECT_EQ(entered.load(), 1);
    EXPECT_EQ(recorder.StreamCount(), 1u);
}

// A slow content function keeps only the node it is handed, not the rest of the worker's batch.
TEST_F(StreamFlowTest, EachNodeGoesBackAsSoonAsItIsDone) {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    bool firstGoes = false;
    bool thirdGoes = false;
    recorder.SetGate([&] {
        std::unique_lock<std::mutex> hold(mutex);
        const int call = ++calls;
        changed.notify_all();
        if (call == 1) changed.wait(hold, [&] { return firstGoes; });
        if (call == 3) changed.wait(hold, [&] { return thirdGoes; });
    });
    ASSERT_EQ(StartProgram(kCombined, 1), KR_OK);
    ASSERT_EQ(Send(kCombined, kCombined.port, {1}), KR_OK);
    auto waitForCalls = [&](int n) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::seconds(10), [&] { return calls >= n; });
    };
    ASSERT_TRUE(waitForCalls(1));
    // Three more wait while the worker is held, and are then taken as one batch.
    for (uint8_t i = 2; i <= 4; ++i)
        ASSERT_EQ(Send(kCombined, kCombined.port, {i}), KR_OK);
    {
        std::lock_guard<std::mutex> hold(mutex);
        firstGoes = true;
    }
    changed.notify_all();
    ASSERT_TRUE(waitForCalls(3));
    // Inside the third call: the second node is free again; only the third and fourth are held.
    EXPECT_EQ(kr::FreeNodeCount(), kr::IntakeNodeCount() - 2);
    {
        std::lock_guard<std::mutex> hold(mutex);
        thirdGoes = true;
    }
    changed.notify_all();
    Drain();
    EXPECT_EQ(recorder.StreamCount(), 4u);
    EXPECT_EQ(kr::FreeNodeCount(), kr::IntakeNodeCount());
}

// A worker that fell behind by several batches takes them in turn: every section arrives, in the
// order sent, and every node goes back.
TEST_F(StreamFlowTest, ABacklogOfSeveralBatchesArrivesWholeAndInOrder) {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool goes = false;
    recorder.SetGate([&] {
        std::unique_lock<std::mutex> hold(mutex);
        if (held) return;
        held = true;
        changed.notify_all();
        changed.wait(hold, [&] { return goes; });
    });
    ASSERT_EQ(StartProgram(kCombined, 1), KR_OK);
    ASSERT_EQ(Send(kCombined, kCombined.port, {0}), KR_OK);
    {
        std::unique_lock<std::mutex> hold(mutex);
        ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(10), [&] { return held; }));
    }
    constexpr int kBacklog = 200;  // more than six batches, fewer than the pool's 256 nodes
    for (int i = 1; i <= kBacklog; ++i)
        ASSERT_EQ(Send(kCombined, kCombined.port, {static_cast<uint8_t>(i)}), KR_OK) << i;
    {
        std::lock_guard<std::mutex> hold(mutex);
        goes = true;
    }
    changed.notify_all();
    Drain();
    const auto got = recorder.Streams();
    ASSERT_EQ(got.size(), static_cast<size_t>(kBacklog + 1));
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].bytes.size(), 1u) << i;
        EXPECT_EQ(got[i].bytes[0], static_cast<uint8_t>(i)) << i;
    }
    EXPECT_EQ(kr::FreeNodeCount(), kr::IntakeNodeCount());
}

TEST_F(StreamFlowTest, ContentFunctionMayStopItsOwnProgram) {
    recorder.SetGate([] { (void)kr_T2K_StopProgram(kCombined.id); });
    ASSERT_EQ(StartProgram(kCombined, 1), KR_OK);
    // Sections sent after the stop are refused; the ones queued before it are dropped.
    for (int i = 0; i < 5; ++i)
        (void)Send(kCombined, kCombined.port, {1, 2, 3});
    ASSERT_TRUE(host.WaitFor([&] { return kr::IsOwnerActive(kCombined.id) == KR_NO; }));
    Drain();
    EXPECT_EQ(recorder.StreamCount(), 1u);
}

// A program without a "Pid" line arrives on PID 0. Stopping one stops only what runs for it;
// the system-information filter and a download on its own PID go on.
TEST_F(StreamFlowTest, StoppingAProgramOnPidZeroStopsNothingElse) {
    std::vector<uint8_t> live = ReadSample("epg/LiveEPG.txt");
    const std::string pidLine = "Pid=256\n";
    const auto at = std::search(live.begin(), live.end(), pidLine.begin(), pidLine.end());
    ASSERT_NE(at, live.end());
    live.erase(at, at + static_cast<std::ptrdiff_t>(pidLine.size()));
    const auto container = BuildEpgContainer(
        {{"LiveEPG.txt", live}, {"FileEPG.txt", ReadSample("epg/FileEPG.txt")}});
    {
        kr::ModuleLockGuard hold;
        kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
    }
    ResourceInfo* found = nullptr;
    ASSERT_EQ(kr::kr_FindResource(2007, &found), 1);
    const ResourceInfo resource = *found;
    const uint32_t sysinfoFilter = HostFilter(0x1FFE);
    ASSERT_NE(sysinfoFilter, 0u);
    ASSERT_EQ(kr_T2K_StartProgram(1001, 1, DeliveryRecorder::OnStream), KR_OK);
    ASSERT_NE(HostFilter(0), 0u);
    ASSERT_EQ(kr_T2K_StartDownload(2007, DeliveryRecorder::OnBlock), KR_OK);

    ASSERT_EQ(kr_T2K_StopProgram(1001), KR_OK);
    EXPECT_EQ(HostFilter(0), 0u);
    EXPECT_EQ(HostFilter(0x1FFE), sysinfoFilter);
    for (const HostCall& call : host.Calls(Slot::StopSectionFilter))
        EXPECT_NE(call.words[0], sysinfoFilter);
    EXPECT_EQ(Send(resource.pid, resource.address, resource.port,
                   BuildBlockPayload({1, 1, 2, {9, 9}, {}})),
              KR_OK);
    Drain();
    EXPECT_EQ(recorder.BlockCount(), 1u);
    EXPECT_EQ(kr_T2K_StopDownload(2007), KR_OK);
}

std::atomic<uint32_t> frames{0};
int32_t CountFrames(const void*) {
    frames.fetch_add(1);
    return 0;
}

// Every node the workers take goes back to the pool, and nothing is allocated on the way.
TEST_F(StreamFlowTest, NothingIsAllocatedWhileDatagramsFlow) {
    kr_T2K_SetDebugFlag(0, 0);
    frames = 0;
    ASSERT_EQ(kr_T2K_StartProgram(kClear.id, 0, CountFrames), KR_OK);
    ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, 3, CountFrames), KR_OK);
    // Ten video frames of three packets, 30 single-packet audio frames, one raw part, and a
    // datagram for the system-information worker (its magic, then too short to announce).
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sections = {
        {HostFilter(kCombined.pid),
         SectionFor(kCombined.address, kCombined.port, std::vector<uint8_t>(900))},
        {HostFilter(kr::kSysinfoPid),
         SectionFor(kr::kSysinfoAddress, kr::kSysinfoPort, {0xBD, 0xBD, 0, 0, 1, 2, 3})}};
    const uint32_t clearFilter = HostFilter(kClear.pid);
    for (auto& video : RtpSections(kClear.videoPort, 30, 3, 1200))
        sections.emplace_back(clearFilter, std::move(video));
    for (auto& audio : RtpSections(kClear.audioPort, 30, 1, 200))
        sections.emplace_back(clearFilter, std::move(audio));

    const uint64_t heapBefore = HeapAllocations();
    const uint64_t allocBefore = kr::fault::AllocationCount();
    for (int round = 0; round < 50; ++round) {
        for (const auto& [filter, section] : sections) {
            while (Deliver(filter, section) == KR_NO_NODE)
                std::this_thread::yield();
        }
    }
    Drain();
    EXPECT_EQ(HeapAllocations(), heapBefore) << "memory allocated while datagrams flowed";
    EXPECT_EQ(kr::fault::AllocationCount(), allocBefore);
    EXPECT_EQ(frames.load(), 50u * (10 + 30 + 1));
    EXPECT_EQ(kr_T2K_StopProgram(kClear.id), KR_OK);
    EXPECT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);

    // System information arrived. Four empty 300 ms rounds later it counts as absent again:
    // early wake-ups by queued sections must not shorten the rounds when nothing comes.
    uint8_t status[3] = {};
    kr_T2K_GetKrdbStatus(status);
    EXPECT_EQ(status[0], 1);
    const auto lastNode = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.WaitFor([&status] {
        kr_T2K_GetKrdbStatus(status);
        return status[0] == 0;
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - lastNode, std::chrono::milliseconds(1000));
}

// Programs start and stop (and take and give back their frame states) while their datagrams keep
// arriving and the worker gathers frames.
TEST_F(StreamFlowTest, StartAndStopRaceDelivery) {
    kr_T2K_SetDebugFlag(0, 0);
    const auto sections = RtpSections(kClear.videoPort, 6, 2, 600);
    std::atomic<bool> done{false};
    std::thread delivery([&] {
        for (size_t i = 0; !done.load(); ++i) {
            const uint32_t filter = HostFilter(kClear.pid);
            if (filter != 0) Deliver(filter, sections[i % sections.size()]);
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 200; ++round) {
        EXPECT_EQ(kr_T2K_StartProgram(kClear.id, 0, CountFrames), KR_OK);
        EXPECT_EQ(kr_T2K_StartProgram(kSecondClear.id, 0, CountFrames), KR_OK);
        EXPECT_EQ(kr_T2K_StopProgram(kClear.id), KR_OK);
        EXPECT_EQ(kr_T2K_StopProgram(kSecondClear.id), KR_OK);
    }
    done.store(true);
    delivery.join();
    EXPECT_EQ(kr::BoundFrameStates(), 0);
}

}  // namespace
