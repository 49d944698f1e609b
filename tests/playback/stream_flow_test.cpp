// Raw delivery modes, and how sections move through the stream worker: stopped programs, no
// allocation while datagrams flow.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/fault_injection.h"
#include "support/epg_builder.h"
#include "support/sysinfo_builder.h"
#include "epg/epg_container.h"
#include "epg/epg_database.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "playback/frame_states.h"
#include "playback/playback_fixture.h"
#include "support/alloc_counter.h"
#include "support/section_builder.h"
#include "support/stream_builder.h"

namespace {

using krtest::DeliveryRecorder;
using krtest::kCombined;

class StreamFlowTest : public krtest::PlaybackTest {
  protected:
    // Sections of video packets for kClear, frameParts packets of mediaSize bytes per frame.
    std::vector<std::vector<uint8_t>> VideoSections(uint16_t count, uint16_t frameParts,
                                                    size_t mediaSize) const {
        std::vector<std::vector<uint8_t>> sections;
        for (uint16_t i = 0; i < count; ++i) {
            krtest::RtpPacketFields video;
            video.seq = i;
            video.timestamp = 1000u + i / frameParts;
            video.marker = i % frameParts == frameParts - 1;
            video.media = krtest::FrameStart(0xB6, mediaSize);
            sections.push_back(SectionFor(krtest::kClear.address, krtest::kClear.videoPort,
                                          krtest::BuildRtpPayload(video)));
        }
        return sections;
    }
};

TEST_F(StreamFlowTest, RawModesHandOverTheirPartOfTheDatagram) {
    std::vector<uint8_t> payload(333);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    const std::vector<uint8_t> section = SectionFor(kCombined.address, kCombined.port, payload);
    struct Case {
        uint32_t mode;
        size_t offset;  // in the section; the part ends before the section's CRC
        bool delivered;
    };
    const Case cases[] = {{1, 40, true}, {2, 40, true}, {3, 32, true},
                          {4, 12, true}, {5, 40, true}, {6, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        recorder.Clear();
        ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, c.mode, DeliveryRecorder::OnStream), KR_OK);
        ASSERT_EQ(Send(kCombined.pid, kCombined.address, kCombined.port, payload), KR_OK);
        Drain();
        const auto got = recorder.Streams();
        ASSERT_EQ(got.size(), c.delivered ? 1u : 0u);
        if (c.delivered) {
            EXPECT_EQ(got[0].programId, kCombined.id);
            EXPECT_EQ(got[0].deliveryMode, c.mode);
            EXPECT_EQ(got[0].bytes,
                      std::vector<uint8_t>(section.begin() + static_cast<long>(c.offset),
                                           section.end() - 4));
        }
        ASSERT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);
    }
}

TEST_F(StreamFlowTest, InvalidDatagramsAndMissingFunctionsDeliverNothing) {
    ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, 1, DeliveryRecorder::OnStream), KR_OK);
    krtest::Datagram wrong;
    wrong.destinationAddress = kCombined.address;
    wrong.destinationPort = kCombined.port;
    wrong.payload.assign(100, 1);
    wrong.udpChecksum = krtest::UdpChecksum::Wrong;
    const auto section = krtest::BuildDatagramSection(wrong);
    ASSERT_EQ(kr_T2K_SendRetrieved(static_cast<int32_t>(HostFilter(kCombined.pid)), 0,
                                   section.data(), static_cast<int32_t>(section.size())),
              KR_OK);
    Drain();
    EXPECT_TRUE(host.HasDebugText("Invalid stream retrieve."));
    EXPECT_EQ(recorder.StreamCount(), 0u);
    ASSERT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);

    for (uint32_t mode : {0u, 1u}) {
        host.Clear();
        ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, mode, nullptr), KR_OK);
        ASSERT_EQ(Send(kCombined.pid, kCombined.address, kCombined.port, {1, 2, 3}), KR_OK);
        Drain();
        EXPECT_TRUE(host.HasDebugText("No data process function!")) << mode;
        ASSERT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);
    }
}

// A node that holds less than a raw mode's part (the host handed over a cut section whose
// datagram still checks out) gives nothing instead of a negative length.
TEST_F(StreamFlowTest, RawPartsNeverReachPastTheNode) {
    struct Case {
        uint32_t mode;
        size_t payload;  // UDP payload bytes
        size_t cut;      // section bytes handed over
        bool refused;
        size_t expected;  // bytes handed over
    };
    const Case cases[] = {
        {1, 0, 43, true, 0},   {1, 0, 44, false, 0},   {3, 0, 40, false, 4},
        {4, 0, 40, false, 24}, {5, 16, 60, false, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " cut " << c.cut);
        recorder.Clear();
        host.Clear();
        ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, c.mode, DeliveryRecorder::OnStream), KR_OK);
        ASSERT_EQ(Send(kCombined.pid, kCombined.address, kCombined.port,
                       std::vector<uint8_t>(c.payload, 0x5A), c.cut),
                  KR_OK);
        Drain();
        const auto got = recorder.Streams();
        if (c.refused) {
            EXPECT_TRUE(got.empty());
            EXPECT_TRUE(host.HasDebugText("Stream retrieve length error: 43"));
        } else {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].bytes.size(), c.expected);
        }
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
    ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, 1, DeliveryRecorder::OnStream), KR_OK);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Send(kCombined.pid, kCombined.address, kCombined.port, {1, 2, 3}), KR_OK);
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

TEST_F(StreamFlowTest, ContentFunctionMayStopItsOwnProgram) {
    recorder.SetGate([] { (void)kr_T2K_StopProgram(kCombined.id); });
    ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, 1, DeliveryRecorder::OnStream), KR_OK);
    // Sections sent after the stop are refused; the ones queued before it are dropped.
    for (int i = 0; i < 5; ++i)
        (void)Send(kCombined.pid, kCombined.address, kCombined.port, {1, 2, 3});
    ASSERT_TRUE(host.WaitFor([&] { return kr::IsOwnerActive(kCombined.id) == KR_NO; }));
    Drain();
    EXPECT_EQ(recorder.StreamCount(), 1u);
}

// The sample guide's programs carry no "Pid" line: they arrive on PID 0. Stopping one stops only
// what runs for it; the system-information filter and a download on its own PID go on.
TEST_F(StreamFlowTest, StoppingAProgramOnPidZeroStopsNothingElse) {
    const auto container =
        krtest::BuildEpgContainer({{"LiveEPG.txt", krtest::ReadSample("epg/LiveEPG.txt")},
                                   {"FileEPG.txt", krtest::ReadSample("epg/FileEPG.txt")}});
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
    for (const krtest::HostCall& call : host.Calls(krtest::Slot::StopSectionFilter))
        EXPECT_NE(call.words[0], sysinfoFilter);
    EXPECT_EQ(Send(resource.pid, resource.address, resource.port,
                   krtest::BuildBlockPayload({1, 1, 2, {9, 9}, {}})),
              KR_OK);
    Drain();
    EXPECT_EQ(recorder.BlockCount(), 1u);
    EXPECT_EQ(kr_T2K_StopDownload(2007), KR_OK);
}

std::atomic<uint64_t> frameBytes{0};
std::atomic<uint32_t> frames{0};
int32_t CountFrames(const void* record) {
    const auto& d = *static_cast<const StreamDelivery*>(record);
    frameBytes.fetch_add(d.kind == KR_FRAME_VIDEO ? d.videoLength : d.audioLength + d.length);
    frames.fetch_add(1);
    return 0;
}

TEST_F(StreamFlowTest, NothingIsAllocatedWhileDatagramsFlow) {
    kr_T2K_SetDebugFlag(0, 0);
    ASSERT_EQ(kr_T2K_StartProgram(krtest::kClear.id, 0, CountFrames), KR_OK);
    ASSERT_EQ(kr_T2K_StartProgram(kCombined.id, 3, CountFrames), KR_OK);
    // Ten video frames of three packets, and 30 single-packet audio frames.
    std::vector<std::vector<uint8_t>> sections = VideoSections(30, 3, 1200);
    for (uint16_t i = 0; i < 30; ++i) {
        krtest::RtpPacketFields audio;
        audio.seq = i;
        audio.timestamp = 1000u + i / 3;
        audio.marker = true;
        audio.media = krtest::FrameStart(0xB6, 200);
        sections.push_back(SectionFor(krtest::kClear.address, krtest::kClear.audioPort,
                                      krtest::BuildRtpPayload(audio)));
    }
    sections.push_back(SectionFor(kCombined.address, kCombined.port, std::vector<uint8_t>(900)));
    const auto clearFilter = static_cast<int32_t>(HostFilter(krtest::kClear.pid));
    const auto combinedFilter = static_cast<int32_t>(HostFilter(kCombined.pid));

    const uint64_t heapBefore = krtest::HeapAllocations();
    const uint64_t allocBefore = kr::fault::AllocationCount();
    for (int round = 0; round < 50; ++round) {
        for (size_t i = 0; i < sections.size(); ++i) {
            const int32_t filter = i + 1 == sections.size() ? combinedFilter : clearFilter;
            while (kr_T2K_SendRetrieved(filter, 0, sections[i].data(),
                                        static_cast<int32_t>(sections[i].size())) == KR_NO_NODE) {
                std::this_thread::yield();
            }
        }
    }
    ASSERT_TRUE(host.WaitFor([] { return kr::FreeNodeCount() == kr::IntakeNodeCount(); }));
    EXPECT_EQ(krtest::HeapAllocations(), heapBefore) << "memory allocated while datagrams flowed";
    EXPECT_EQ(kr::fault::AllocationCount(), allocBefore);
    EXPECT_EQ(frames.load(), 50u * (10 + 30 + 1));
    EXPECT_EQ(kr_T2K_StopProgram(krtest::kClear.id), KR_OK);
    EXPECT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);
}

// Programs start and stop (and take and give back their frame states) while their datagrams keep
// arriving and the worker gathers frames.
TEST_F(StreamFlowTest, StartAndStopRaceDelivery) {
    kr_T2K_SetDebugFlag(0, 0);
    const auto sections = VideoSections(6, 2, 600);
    std::atomic<bool> done{false};
    std::thread delivery([&] {
        for (size_t i = 0; !done.load(); ++i) {
            const auto filter = static_cast<int32_t>(HostFilter(krtest::kClear.pid));
            const auto& s = sections[i % sections.size()];
            if (filter != 0)
                kr_T2K_SendRetrieved(filter, 0, s.data(), static_cast<int32_t>(s.size()));
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 200; ++round) {
        EXPECT_EQ(kr_T2K_StartProgram(krtest::kClear.id, 0, CountFrames), KR_OK);
        EXPECT_EQ(kr_T2K_StartProgram(krtest::kSecondClear.id, 0, CountFrames), KR_OK);
        EXPECT_EQ(kr_T2K_StopProgram(krtest::kClear.id), KR_OK);
        EXPECT_EQ(kr_T2K_StopProgram(krtest::kSecondClear.id), KR_OK);
    }
    done.store(true);
    delivery.join();
    EXPECT_EQ(kr::BoundFrameStates(), 0);
}

TEST_F(StreamFlowTest, StartUpFailsCleanlyWithoutFrameBuffers) {
    FinishModule();
    // Fail each start-up allocation in turn: the module starts (or reports intake's missing
    // memory), and nothing leaks.
    bool streamFailed = false;
    for (int32_t n = 1; n <= 12; ++n) {
        host.Clear();
        kr::fault::Reset();
        kr::fault::FailAllocAt(n);
        const InitRecord record = krtest::FakeHost::MakeInitRecord(16);
        const int32_t result = kr_T2K_Init(&record);
        started = true;
        EXPECT_TRUE(result == KR_OK || result == KR_NO_MEMORY) << n;
        streamFailed =
            streamFailed || host.HasDebugText("Malloc video or audio frame buffer faild!");
        FinishModule();
        kr::fault::Reset();
        EXPECT_EQ(kr::fault::LiveAllocations(), allocationsAtStart) << n;
    }
    EXPECT_TRUE(streamFailed);
}

}  // namespace
