// Replays the stream fuzz corpus, so that an input the fuzzer once found stays fixed in every
// build.
#include <gtest/gtest.h>

#include <string>

#include "core/fault_injection.h"
#include "frames_run.h"
#include "stream_run.h"
#include "support/epg_builder.h"

namespace {

TEST(FuzzCorpus, Stream) {
    const auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/stream");
    ASSERT_FALSE(inputs.empty());
    const int64_t before = kr::fault::LiveAllocations();
    std::size_t total = 0;
    for (const auto& input : inputs) {
        std::size_t deliveries = 0;
        EXPECT_TRUE(krfuzz::RunStreamInput(input.data(), input.size(), &deliveries));
        total += deliveries;
    }
    EXPECT_EQ(kr::fault::LiveAllocations(), before);

    // The seeds reach the host: one video and two audio frames, raw parts of modes 1 to 5 (the
    // cut one refused), and the two whole blocks of one resource, once repeated.
    EXPECT_EQ(total, 1u + 2u + 5u + 3u);
}

TEST(FuzzCorpus, Frames) {
    const auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/frames");
    ASSERT_FALSE(inputs.empty());
    std::size_t total = 0;
    for (const auto& input : inputs) {
        std::size_t frames = 0;
        EXPECT_TRUE(krfuzz::RunFramesInput(input.data(), input.size(), &frames));
        total += frames;
    }
    EXPECT_GT(total, 0u);
}

}  // namespace
