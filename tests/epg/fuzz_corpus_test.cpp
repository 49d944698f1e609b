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
#include "store_image_run.h"

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

}  // namespace
