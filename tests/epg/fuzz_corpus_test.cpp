// Replays every fuzz corpus file through its target's entry point, so that an input the fuzzer
// once found stays fixed in every build.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ca_messages_run.h"
#include "epg/epg_container.h"
#include "epg/epg_fixture.h"
#include "epg/live_epg.h"
#include "epg_text_run.h"
#include "intake/request_table.h"
#include "store_parts_run.h"

namespace {

using CorpusRun = bool (*)(const uint8_t* data, std::size_t size);

bool RunContainer(const uint8_t* data, std::size_t size) {
    kr::kr_ProcessEpgContainer(data, static_cast<uint32_t>(size));
    kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
    return true;
}

bool RunLiveEpg(const uint8_t* data, std::size_t size) {
    kr::kr_ParseLiveEpg(data, static_cast<uint32_t>(size));
    kr::kr_EpgReset();
    return true;
}

class FuzzCorpusTest : public krtest::EpgTest {};

TEST_F(FuzzCorpusTest, EpgTargets) {
    const std::pair<const char*, CorpusRun> targets[] = {{"epg_container", RunContainer},
                                                         {"live_epg", RunLiveEpg},
                                                         {"file_epg", krfuzz::RunFileEpg},
                                                         {"program_epg", krfuzz::RunProgramEpg}};
    for (const auto& [name, run] : targets) {
        SCOPED_TRACE(name);
        const auto inputs =
            krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/" + name);
        ASSERT_FALSE(inputs.empty());
        for (const auto& input : inputs)
            EXPECT_TRUE(run(input.data(), input.size()));
        kr::kr_EpgReset();
    }
}

TEST(FuzzCorpus, StoreImage) {
    const auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/store");
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs)
        EXPECT_TRUE(krfuzz::RunStoreImage(input.data(), input.size()));
}

TEST(FuzzCorpus, StoreParts) {
    auto corpus = [](const char* name) {
        auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/" + name);
        EXPECT_FALSE(inputs.empty()) << name;
        return inputs;
    };
    for (const auto& input : corpus("store_check"))
        EXPECT_TRUE(krfuzz::RunStoreCheckInput(input.data(), input.size()));
    ASSERT_TRUE(krfuzz::StartStoredParts());
    for (const auto& input : corpus("stored_epg"))
        EXPECT_TRUE(krfuzz::RunStoredEpgInput(input.data(), input.size()));
    std::size_t loaded = 0;
    for (const auto& input : corpus("stored_map")) {
        std::size_t inUse = 0;
        EXPECT_TRUE(krfuzz::RunStoredMapInput(input.data(), input.size(), &inUse));
        loaded += inUse;
    }
    krfuzz::FinishStoredParts();
    EXPECT_GT(loaded, 0u) << "the seeds load services";
}

TEST(FuzzCorpus, CaMessages) {
    const auto inputs =
        krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/ca_messages");
    ASSERT_FALSE(inputs.empty());
    ASSERT_TRUE(krfuzz::StartCaMessages());
    for (const auto& input : inputs)
        krfuzz::RunCaMessagesInput(input.data(), input.size());
    const krfuzz::CaReach reach = krfuzz::CaMessagesReach();
    EXPECT_EQ(kr::RequestsInUse(), 0);
    krfuzz::FinishCaMessages();
    // The seeds get past every parser's checks to the host and the card.
    for (const std::size_t n :
         {reach.texts, reach.mails, reach.redirections, reach.cardCommands, reach.controlWords})
        EXPECT_GT(n, 0u);
}

TEST(FuzzCorpus, Ecm) {
    const auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/ecm");
    ASSERT_FALSE(inputs.empty());
    ASSERT_TRUE(krfuzz::StartCaMessages());
    for (const auto& input : inputs)
        EXPECT_TRUE(krfuzz::RunEcmInput(input.data(), input.size()));
    const krfuzz::CaReach reach = krfuzz::CaMessagesReach();
    EXPECT_EQ(kr::RequestsInUse(), 0);
    krfuzz::FinishCaMessages();
    // The seeds reach both the descrambler and the refusals.
    EXPECT_GT(reach.controlWords, 0u);
    EXPECT_GT(reach.refusals, 0u);
}

}  // namespace
