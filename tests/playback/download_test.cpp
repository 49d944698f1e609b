// Resource download end to end: blocks through kr_T2K_SendRetrieved to the content function.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <optional>

#include "playback/playback_fixture.h"
#include "support/intake_fixture.h"
#include "support/sysinfo_builder.h"

namespace {

using namespace krtest;

// Data of size bytes that tell the blocks apart, and the payload of a block that carries it.
std::vector<uint8_t> Data(uint32_t number, size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(number * 31 + i);
    return data;
}

std::vector<uint8_t> BlockPayload(uint32_t number, uint32_t total, size_t size, uint32_t kind = 1,
                                  std::optional<uint32_t> declaredLength = {}) {
    return BuildBlockPayload({kind, number, total, Data(number, size), declaredLength});
}

class DownloadTest : public PlaybackTest {};

TEST_F(DownloadTest, EveryBlockGoesToTheHostRepeatsIncluded) {
    ASSERT_EQ(kr_T2K_StartDownload(kClearResource.id, DeliveryRecorder::OnBlock), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Start download resource : 21"));
    EXPECT_TRUE(host.HasDebugText("Set download file filter"));
    const uint32_t order[] = {1, 2, 1, 3, 3};
    for (uint32_t n : order)
        ASSERT_EQ(Send(kClearResource, BlockPayload(n, 3, 100 * n)), KR_OK);
    // Not multicast data, blocks whose data would reach past the datagram, a cut header.
    auto headerOnly = BlockPayload(2, 3, 0);
    headerOnly.resize(20);
    for (const auto& refused : {BlockPayload(2, 3, 50, 2), BlockPayload(2, 3, 50, 1, 51),
                                BlockPayload(2, 3, 50, 1, 0xFFFFFF32), headerOnly})
        ASSERT_EQ(Send(kClearResource, refused), KR_OK);
    Drain();

    const auto blocks = recorder.Blocks();
    ASSERT_EQ(blocks.size(), std::size(order));
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].resourceId, kClearResource.id);
        EXPECT_EQ(blocks[i].totalBlocks, 3u);
        EXPECT_EQ(blocks[i].blockNumber, order[i]);
        EXPECT_EQ(blocks[i].bytes, Data(order[i], 100 * order[i]));
    }
    EXPECT_TRUE(host.HasDebugText("Not the multicast data."));
    EXPECT_TRUE(host.HasDebugText("Resource block length error"));
    EXPECT_EQ(kr_T2K_StopDownload(kClearResource.id), KR_OK);
}

TEST_F(DownloadTest, StopAndRestart) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        recorder.Clear();
        ASSERT_EQ(kr_T2K_StartDownload(kClearResource.id, DeliveryRecorder::OnBlock), KR_OK);
        EXPECT_EQ(kr_T2K_StartDownload(kClearResource.id, DeliveryRecorder::OnBlock), KR_FAILED);
        EXPECT_TRUE(host.HasDebugText("This resource has already started download!"));
        ASSERT_EQ(Send(kClearResource, BlockPayload(1, 1, 10)), KR_OK);
        Drain();
        EXPECT_EQ(recorder.BlockCount(), 1u);
        const uint32_t filter = HostFilter(kClearResource.pid);
        EXPECT_EQ(kr_T2K_StopDownload(kClearResource.id), KR_OK);
        EXPECT_TRUE(RequestsOf(kClearResource.id).empty());
        // The host filter is gone: its sections are unknown now.
        const auto section =
            SectionFor(kClearResource.address, kClearResource.port, BlockPayload(1, 1, 10));
        EXPECT_EQ(Deliver(filter, section), KR_FAILED);
        Drain();
        EXPECT_EQ(recorder.BlockCount(), 1u);
    }
    host.Clear();
    EXPECT_EQ(kr_T2K_StopDownload(99), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Stop resource : 99"));
    EXPECT_EQ(kr_T2K_StartDownload(99, DeliveryRecorder::OnBlock), KR_FAILED);
    EXPECT_TRUE(host.HasDebugText("Can't find this resource's download information."));
}

TEST_F(DownloadTest, ScrambledResourceStartsAndStopsItsService) {
    const auto running = [] {
        return ServiceStarted(kScrambledResource.address, kScrambledResource.port);
    };
    ASSERT_EQ(kr_T2K_StartDownload(kScrambledResource.id, DeliveryRecorder::OnBlock), KR_OK);
    EXPECT_TRUE(running());
    ASSERT_EQ(RequestsOf(kScrambledResource.id).size(), 1u);
    EXPECT_EQ(RequestsOf(kScrambledResource.id)[0].scrambled, 1);
    EXPECT_EQ(kr_T2K_StopDownload(kScrambledResource.id), KR_OK);
    EXPECT_FALSE(running());
    EXPECT_EQ(kr_T2K_StopDownload(kScrambledResource.id), KR_OK);

    // A start the host's filter refuses leaves no descrambling behind.
    host.SetFilterResult(-1);
    EXPECT_EQ(kr_T2K_StartDownload(kScrambledResource.id, DeliveryRecorder::OnBlock), KR_FAILED);
    EXPECT_TRUE(host.HasDebugText("Set file filter faild!"));
    EXPECT_FALSE(running());
    EXPECT_TRUE(RequestsOf(kScrambledResource.id).empty());
}

}  // namespace
