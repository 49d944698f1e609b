// Fixture for EPG tests that need the database but not the workers: a fake host for logs and
// frequencies, the database started, and on teardown finished and checked for leaks. Also the
// walks over a download EPG's category tree the tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fault_injection.h"
#include "core/host.h"
#include "core/log.h"
#include "epg/epg_container.h"
#include "epg/epg_database.h"
#include "support/epg_builder.h"
#include "support/fake_host.h"

namespace krtest {

// The fake host in every slot with every diagnostic on, until it goes out of scope.
struct DiagnosticHost : FakeHost {
    DiagnosticHost() {
        kr::ResetLogSettings();
        kr::SetHostCallbacks(AllSlots());
        kr_T2K_SetDebugFlag(0, 1);  // every module, every level
    }
    ~DiagnosticHost() {
        kr::ResetLogSettings();
        kr::ClearHostCallbacks();
    }
};

class EpgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kr::fault::Reset();
        allocations = kr::fault::LiveAllocations();
        ASSERT_EQ(kr::kr_EpgInit(), 0);
    }
    void TearDown() override {
        kr::kr_EpgFinish();
        EXPECT_EQ(kr::fault::LiveAllocations(), allocations);
    }

    DiagnosticHost host;
    int64_t allocations = 0;
};

// A directory shows its name, a resource its (cut) path.
inline std::string Label(const CategoryNode* node) {
    return node->isResource != 0 ? node->path : node->name;
}

// At most 65 children, so that a broken list cannot loop.
inline std::vector<const CategoryNode*> Children(const CategoryNode* parent) {
    std::vector<const CategoryNode*> out;
    for (const CategoryNode* c = parent->firstChild; c != nullptr && out.size() <= 64;
         c = c->nextSibling)
        out.push_back(c);
    return out;
}

inline std::vector<std::string> Labels(const CategoryNode* parent) {
    std::vector<std::string> out;
    for (const CategoryNode* c : Children(parent))
        out.push_back(Label(c));
    return out;
}

inline const CategoryNode* Child(const CategoryNode* parent, const std::string& label) {
    for (const CategoryNode* c : Children(parent)) {
        if (Label(c) == label) return c;
    }
    return nullptr;
}

// Every resource reachable from the node, depth first.
inline void CollectResources(const CategoryNode* node, std::vector<const CategoryNode*>& out) {
    for (const CategoryNode* c : Children(node)) {
        if (c->isResource != 0) out.push_back(c);
        CollectResources(c, out);
    }
}

// Builds a container of the files and hands it to the EPG as the download worker does.
inline int32_t ProcessContainer(const std::vector<EpgFile>& files) {
    const auto container = BuildEpgContainer(files);
    return kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
}

}  // namespace krtest
