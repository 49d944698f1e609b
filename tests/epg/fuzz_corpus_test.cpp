// Replays every fuzz corpus file through its target's entry point, so that an input the fuzzer
// once found stays fixed in every build.
#include <gtest/gtest.h>

#include <string>

#include "epg/epg_container.h"
#include "epg/epg_fixture.h"
#include "epg/live_epg.h"
#include "epg_text_run.h"
#include "store_image_run.h"

namespace {

class FuzzCorpusTest : public krtest::EpgTest {};

TEST_F(FuzzCorpusTest, EpgContainer) {
    const auto inputs =
        krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/epg_container");
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs) {
        kr::kr_ProcessEpgContainer(input.data(), static_cast<uint32_t>(input.size()));
        kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
    }
}

TEST_F(FuzzCorpusTest, LiveEpg) {
    const auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/live_epg");
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs) {
        kr::kr_ParseLiveEpg(input.data(), static_cast<uint32_t>(input.size()));
        kr::kr_EpgReset();
    }
}

TEST_F(FuzzCorpusTest, FileEpg) {
    const auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/file_epg");
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs)
        EXPECT_TRUE(krfuzz::RunFileEpg(input.data(), input.size()));
}

TEST_F(FuzzCorpusTest, ProgramEpg) {
    const auto inputs =
        krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/program_epg");
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs) {
        EXPECT_TRUE(krfuzz::RunProgramEpg(input.data(), input.size()));
    }
}

TEST(FuzzCorpus, StoreImage) {
    const auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/store");
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs)
        EXPECT_TRUE(krfuzz::RunStoreImage(input.data(), input.size()));
}

}  // namespace
