// Resource download end to end: blocks through kr_T2K_SendRetrieved to the content function.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include "playback/playback_fixture.h"
#include "support/stream_builder.h"
#include "support/sysinfo_builder.h"

namespace {

using krtest::DeliveryRecorder;
using krtest::kClearResource;
using krtest::kScrambledResource;

class DownloadTest : public krtest::PlaybackTest {
  protected:
    int32_t SendBlock(const krtest::TestResource& r, const krtest::Block& block) {
        return Send(r.pid, r.address, r.port, krtest::BuildBlockPayload(block));
    }
    static krtest::Block Block(uint32_t number, uint32_t total, size_t size, uint32_t kind = 1) {
        krtest::Block b;
        b.kind = kind;
        b.number = number;
        b.total = total;
        b.data.resize(size);
        for (size_t i = 0; i < size; ++i)
            b.data[i] = static_cast<uint8_t>(number * 31 + i);
        return b;
    }
};

TEST_F(DownloadTest, EveryBlockGoesToTheHostRepeatsIncluded) {
    ASSERT_EQ(kr_T2K_StartDownload(kClearResource.id, DeliveryRecorder::OnBlock), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Start download resource : 21"));
    EXPECT_TRUE(host.HasDebugText("Set download file filter"));
    const uint32_t order[] = {1, 2, 1, 3, 3};
    for (uint32_t n : order)
        ASSERT_EQ(SendBlock(kClearResource, Block(n, 3, 100 * n)), KR_OK);
    // Not multicast data, and blocks whose data would reach past the datagram.
    ASSERT_EQ(SendBlock(kClearResource, Block(2, 3, 50, 2)), KR_OK);
    krtest::Block tooLong = Block(2, 3, 50);
    tooLong.declaredLength = 51;
    ASSERT_EQ(SendBlock(kClearResource, tooLong), KR_OK);
    krtest::Block huge = Block(2, 3, 50);
    huge.declaredLength = 0xFFFFFF32;
    ASSERT_EQ(SendBlock(kClearResource, huge), KR_OK);
    auto headerOnly = krtest::BuildBlockPayload(Block(2, 3, 0));
    headerOnly.resize(20);
    ASSERT_EQ(Send(kClearResource.pid, kClearResource.address, kClearResource.port, headerOnly),
              KR_OK);
    Drain();

    const auto blocks = recorder.Blocks();
    ASSERT_EQ(blocks.size(), std::size(order));
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].resourceId, kClearResource.id);
        EXPECT_EQ(blocks[i].totalBlocks, 3u);
        EXPECT_EQ(blocks[i].blockNumber, order[i]);
        EXPECT_EQ(blocks[i].bytes, Block(order[i], 3, 100 * order[i]).data);
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
        ASSERT_EQ(SendBlock(kClearResource, Block(1, 1, 10)), KR_OK);
        Drain();
        EXPECT_EQ(recorder.BlockCount(), 1u);
        const uint32_t filter = HostFilter(kClearResource.pid);
        EXPECT_EQ(kr_T2K_StopDownload(kClearResource.id), KR_OK);
        EXPECT_TRUE(RequestsOf(kClearResource.id).empty());
        // The host filter is gone: its sections are unknown now.
        const auto section = SectionFor(kClearResource.address, kClearResource.port,
                                        krtest::BuildBlockPayload(Block(1, 1, 10)));
        EXPECT_EQ(kr_T2K_SendRetrieved(static_cast<int32_t>(filter), 0, section.data(),
                                       static_cast<int32_t>(section.size())),
                  KR_FAILED);
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
    const std::string service = "service: pid:410, ip: EF020202, port: 6002.";
    ASSERT_EQ(kr_T2K_StartDownload(kScrambledResource.id, DeliveryRecorder::OnBlock), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Start " + service));
    ASSERT_EQ(RequestsOf(kScrambledResource.id).size(), 1u);
    EXPECT_EQ(RequestsOf(kScrambledResource.id)[0].scrambled, 1);
    EXPECT_FALSE(host.HasDebugText("Stop " + service));
    EXPECT_EQ(kr_T2K_StopDownload(kScrambledResource.id), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Stop " + service));

    // Stopped once only: a second stop has no service left to stop.
    host.Clear();
    EXPECT_EQ(kr_T2K_StopDownload(kScrambledResource.id), KR_OK);
    EXPECT_FALSE(host.HasDebugText("Stop " + service));

    // A start the host's filter refuses leaves no descrambling behind.
    host.SetFilterResult(-1);
    EXPECT_EQ(kr_T2K_StartDownload(kScrambledResource.id, DeliveryRecorder::OnBlock), KR_FAILED);
    EXPECT_TRUE(host.HasDebugText("Set file filter faild!"));
    EXPECT_TRUE(host.HasDebugText("Start " + service));
    EXPECT_TRUE(host.HasDebugText("Stop " + service));
    EXPECT_TRUE(RequestsOf(kScrambledResource.id).empty());
}

}  // namespace
