#include "epg/file_epg.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "epg/epg_fixture.h"
#include "epg/resource_tree.h"
#include "epg/text_syntax.h"

namespace file_epg_test {
namespace {

using krtest::Bytes;
using krtest::Child;
using krtest::Children;
using krtest::IndentedLine;
using krtest::Labels;

int NodesInUse(const DownloadEpg& epg) {
    int n = 0;
    for (uint8_t flag : epg.nodeInUse)
        n += flag;
    return n;
}

std::string Section(uint32_t id, const std::string& fileName) {
    return "[PROGRAM" + std::to_string(id) + "]\nProgramID=" + std::to_string(id) +
           "\nFileName=" + fileName + "\n";
}

class FileEpgTest : public krtest::EpgTest {
  protected:
    int32_t Parse(const std::vector<uint8_t>& file) {
        return kr::kr_ParseFileEpg(file.data(), static_cast<uint32_t>(file.size()));
    }
    int32_t ParseText(const std::string& text) { return Parse(Bytes(text)); }
    DownloadEpg& Current() { return kr::Epg().currentDownload->epg; }
    // A reset buffer of the database for direct tree operations.
    DownloadEpg& Scratch() {
        kr::DownloadBuffer* buffer = nullptr;
        EXPECT_EQ(kr::kr_TakeDownloadBuffer(&buffer), 0);
        return buffer->epg;
    }
};

TEST_F(FileEpgTest, BuildsResourcesAndTheirTree) {
    host.SetFrequency(634000);
    ASSERT_EQ(Parse(krtest::ReadTestData("epg/file_tree.txt")), 0);
    const DownloadEpg& epg = Current();
    EXPECT_EQ(epg.resourceCount, 7u);
    EXPECT_EQ(epg.version, 0xD714645Cu);
    EXPECT_EQ(NodesInUse(epg), 12);  // root, News, Sport, Movies, Drama and 7 resources

    // Directories go to the head of their parent's list, resources to its tail; the line before
    // the first section made no directory.
    const CategoryNode* root = epg.root;
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->name, "/");
    EXPECT_EQ(root->isResource, 0);
    EXPECT_EQ(Labels(root), (std::vector<std::string>{"Movies", "Sport", "News", "readme.txt"}));
    const CategoryNode* news = Child(root, "News");
    ASSERT_NE(news, nullptr);
    EXPECT_EQ(Labels(news), (std::vector<std::string>{"a.ts", "b.ts", "d.ts"}));  // '\' and '/'
    const CategoryNode* movies = Child(root, "Movies");
    ASSERT_NE(movies, nullptr);
    EXPECT_EQ(movies->id, 12u);  // the number of a later "Movies$7" does not count
    EXPECT_EQ(Labels(movies), (std::vector<std::string>{"Drama", "n.ts"}));
    EXPECT_EQ(Labels(Child(movies, "Drama")), (std::vector<std::string>{"m.ts"}));
    EXPECT_EQ(Labels(Child(root, "Sport")), (std::vector<std::string>{"c.ts"}));

    // A compact line loses its blanks; an address keeps nothing from a second '=' on. Freq 0:
    // the host tells the frequency in use. A channel of 26 characters is not taken.
    const CategoryNode* a = Child(news, "a.ts");
    EXPECT_STREQ(a->name, "MorningPaper");
    EXPECT_EQ(std::tuple(a->isResource, a->id, a->size, a->categoryType, a->free, a->caGiven,
                         a->drm, a->force),
              std::tuple(1, 11u, 1048576u, 4u, 1, 1, 1, 1));
    const ResourceInfo* r = epg.resource;
    EXPECT_EQ(std::tuple(r[0].programId, r[0].ca, r[0].frequency, r[0].pid, r[0].bandwidth,
                         r[0].address, r[0].port),
              std::tuple(11u, 0, 626000u, 300, 512, 0xEF510201u, 7000));
    const CategoryNode* b = Child(news, "b.ts");
    EXPECT_EQ(std::tuple(b->categoryType, b->free, b->drm, b->force, r[1].ca, r[1].address),
              std::tuple(8u, 0, 0, 0, 1, 0xEF510264u));
    const CategoryNode* c = Child(Child(root, "Sport"), "c.ts");
    EXPECT_EQ(std::tuple(c->caGiven, c->free, r[2].frequency, r[2].address, r[2].port),
              std::tuple(0, 0, 634000u, 0u, 0));
    EXPECT_EQ(Child(root, "readme.txt")->categoryType, 255u);
    EXPECT_TRUE(host.HasDebugText("7 program(s) in file epg."));

    ResourceInfo* found = nullptr;
    EXPECT_EQ(kr::kr_FindResource(13, &found), 1);
    EXPECT_EQ(found, &Current().resource[2]);
}

TEST_F(FileEpgTest, CategoryCodes) {
    struct Case {
        const char* value;
        uint32_t type;
    };
    const Case cases[] = {
        {"E", 255},   {"EX", 255}, {"JN", 7},     {"JNX", 7},  {"J", 255}, {"01SI", 9},
        {"01CA", 10}, {"01", 255}, {"01XX", 255}, {"BI", 8},   {"B", 6},   {"BX", 6},
        {"CJ", 11},   {"C", 255},  {"RC", 12},    {"R", 255},  {"KT", 13}, {"KX", 16},
        {"K", 255},   {"ZN", 15},  {"Z", 255},    {"A", 1},    {"V", 0},   {"N", 4},
        {"P", 2},     {"T", 3},    {"", 255},     {"bi", 255}, {"x", 255},
    };
    for (const Case& c : cases) {
        CategoryNode node{};
        ResourceInfo entry{};
        node.id = 5;
        host.Clear();
        EXPECT_EQ(
            kr::kr_ParseResourceKey((std::string("ProgramSort=") + c.value).c_str(), &node, &entry),
            1);
        EXPECT_EQ(node.categoryType, c.type) << c.value;
        const bool announced = c.value[0] != 'E';
        EXPECT_EQ(host.HasDebugText("ID:5, type:" + std::to_string(c.type)), announced) << c.value;
    }
}

TEST_F(FileEpgTest, ResourceKeyLines) {
    CategoryNode node{};
    ResourceInfo entry{};
    EXPECT_EQ(kr::kr_ParseResourceKey("", &node, &entry), -1);
    EXPECT_EQ(node.isResource, 0);
    EXPECT_EQ(kr::kr_ParseResourceKey("Unknown=1", &node, &entry), -1);
    EXPECT_EQ(node.isResource, 1);  // every line of a section marks a resource
    // A known key without '=' takes the empty value.
    EXPECT_EQ(kr::kr_ParseResourceKey("CA", &node, &entry), 1);
    EXPECT_EQ(node.free, 1);
    EXPECT_EQ(node.caGiven, 1);
    // Names keep 255 characters, paths 254; the fields are cleared before.
    const std::string longText(300, 'n');
    ASSERT_EQ(kr::kr_ParseResourceKey(("ProgramName=" + longText).c_str(), &node, &entry), 1);
    EXPECT_EQ(std::string(node.name), longText.substr(0, 255));
    ASSERT_EQ(kr::kr_ParseResourceKey(("FileName=" + longText).c_str(), &node, &entry), 1);
    EXPECT_EQ(std::string(node.path), longText.substr(0, 254));
    ASSERT_EQ(kr::kr_ParseResourceKey("ProgramName=x", &node, &entry), 1);
    EXPECT_STREQ(node.name, "x");
    EXPECT_EQ(node.name[2], '\0');
    // Numbers are stored into their field's width.
    ASSERT_EQ(kr::kr_ParseResourceKey("Pid=65537", &node, &entry), 1);
    EXPECT_EQ(entry.pid, 1);
}

TEST_F(FileEpgTest, DirectoryPaths) {
    DownloadEpg& epg = Scratch();
    struct Case {
        const char* path;
        uint16_t length;
        int32_t result;
        const char* name;  // of the directory found or made
        uint32_t id;
    };
    const Case cases[] = {
        {"/", 1, 1, "/", 0},
        {"\\", 1, 1, "/", 0},
        {"/a/", 3, 1, "a", 0},
        {"\\a/b\\", 5, 1, "b", 0},
        {"/a$3/", 5, 1, "a", 0},  // found: the number only counts at creation
        {"/c$0042/", 8, 1, "c", 42},
        {"/x/y/z.ts", 5, 1, "y", 0},  // only the first length characters count
        {"a/", 2, -1, nullptr, 0},
        {"/a", 2, -1, nullptr, 0},
        // Empty and number-only components make nameless directories.
        {"//", 2, 1, "", 0},
        {"///", 3, 1, "", 0},
        {"/q//", 4, 1, "", 0},
        {"/q/$5/", 6, 1, "", 0},  // found: the one "/q//" made
        {"/$12/", 5, 1, "", 0},
        {"/r/$12/", 7, 1, "", 12},
        {"/", 0, -1, nullptr, 0},
    };
    for (const Case& c : cases) {
        host.Clear();
        const int before = NodesInUse(epg);
        CategoryNode* dir = nullptr;
        EXPECT_EQ(kr::kr_FindOrCreateDirectory(&epg, c.path, c.length, &dir), c.result) << c.path;
        if (c.result == 1) {
            ASSERT_NE(dir, nullptr) << c.path;
            EXPECT_STREQ(dir->name, c.name) << c.path;
            EXPECT_EQ(dir->id, c.id) << c.path;
            EXPECT_EQ(dir->isResource, 0);
        } else {
            EXPECT_EQ(dir, nullptr) << c.path;
            // An invalid path creates nothing, not even its valid head.
            EXPECT_EQ(NodesInUse(epg), before) << c.path;
            if (c.length > 0) {
                EXPECT_TRUE(host.HasDebugText("** Invalid path format\r\n")) << c.path;
            }
        }
    }
    EXPECT_EQ(Labels(epg.root), (std::vector<std::string>{"r", "q", "", "x", "c", "a"}));
    EXPECT_EQ(Labels(Child(epg.root, "a")), (std::vector<std::string>{"b"}));

    // A resource whose path has an empty component goes into the nameless directory.
    CategoryNode* node = nullptr;
    ASSERT_EQ(kr::kr_AllocNode(&epg, &node), 0);
    kr::CopyText(node->path, sizeof node->path, "/a//f.ts");
    EXPECT_EQ(kr::kr_InsertResource(&epg, node), 0);
    EXPECT_STREQ(node->path, "f.ts");
    const CategoryNode* nameless = Child(Child(epg.root, "a"), "");
    ASSERT_NE(nameless, nullptr);
    EXPECT_EQ(Children(nameless).back(), node);
    ASSERT_EQ(kr::kr_AllocNode(&epg, &node), 0);
    // "/" alone puts the resource below the root with an empty last component.
    kr::CopyText(node->path, sizeof node->path, "/");
    EXPECT_EQ(kr::kr_InsertResource(&epg, node), 0);
    EXPECT_STREQ(node->path, "");
    EXPECT_EQ(Children(epg.root).back(), node);
}

TEST_F(FileEpgTest, NodePool) {
    DownloadEpg& epg = Scratch();
    CategoryNode* node = nullptr;
    EXPECT_EQ(kr::kr_AllocNode(nullptr, &node), -2);
    EXPECT_EQ(kr::kr_AllocNode(&epg, nullptr), -2);
    for (int i = 0; i < kr::kMaxNodes; ++i) {
        node = nullptr;
        ASSERT_EQ(kr::kr_AllocNode(&epg, &node), 0);
        EXPECT_EQ(node, &epg.node[i]);
    }
    EXPECT_EQ(kr::kr_AllocNode(&epg, &node), -4);
    EXPECT_EQ(node, nullptr);

    // A bare name needs the root; with no node left it is not placed.
    CategoryNode& bare = epg.node[0];
    kr::CopyText(bare.path, sizeof bare.path, "bare.ts");
    EXPECT_EQ(kr::kr_InsertResource(&epg, &bare), -1);
    EXPECT_TRUE(host.HasDebugLine(IndentedLine("##", 2, "Alloc node error.\r\n")));
    CategoryNode* dir = nullptr;
    EXPECT_EQ(kr::kr_FindOrCreateDirectory(&epg, "/", 1, &dir), -1);
    EXPECT_TRUE(host.HasDebugLine(IndentedLine("##", 2, "** Alloc node error.\r\n")));
}

// Node exhaustion both ways: a resource whose new directory finds no node stays out of the tree
// with its record kept; a header that finds no node ends the reading.
TEST_F(FileEpgTest, NodePoolRunsOut) {
    std::string file = "[FILE_EPG]\nCOUNT=40\n";
    for (uint32_t i = 0; i < 40; ++i) {
        const uint32_t dir = i < 32 ? i : i - 32;
        file += Section(100 + i, "/D" + std::to_string(dir) + "/r" + std::to_string(i) + ".ts");
    }
    ASSERT_EQ(ParseText(file), 0);
    const DownloadEpg& epg = Current();
    EXPECT_EQ(epg.resourceCount, 40u);
    EXPECT_EQ(NodesInUse(epg), 64);
    EXPECT_TRUE(host.HasDebugLine(IndentedLine("##", 2, "** Alloc node error.\r\n")));
    // Resources 0..30 each made a directory (root + 31 + 31 nodes); resource 31 took the last
    // node and found none for its directory; resource 32 found no node at its header.
    std::vector<const CategoryNode*> placed;
    krtest::CollectResources(epg.root, placed);
    EXPECT_EQ(placed.size(), 31u);
    EXPECT_EQ(Child(epg.root, "D31"), nullptr);
    EXPECT_EQ(epg.resource[31].programId, 131u);
    // The records the file did not fill show nothing.
    for (int i = 32; i < 64; ++i)
        EXPECT_EQ(epg.resource[i].programId, 0u) << i;
    ResourceInfo* found = nullptr;
    EXPECT_EQ(kr::kr_FindResource(131, &found), 1);
    EXPECT_EQ(kr::kr_FindResource(132, &found), -1);
    // The count bounds the search: records it covers are searched, id 0 like any other.
    EXPECT_EQ(kr::kr_FindResource(0, &found), epg.resourceCount > 32 ? 1 : -1);
}

TEST_F(FileEpgTest, SectionWithoutKeyLinesIsAResource) {
    ASSERT_EQ(ParseText("[FILE_EPG]\nCOUNT=2\n[PROGRAM1]\n\n[PROGRAM2]\nFileName=/d/x\n"), 0);
    const CategoryNode* root = Current().root;
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(Children(root).size(), 2u);
    const CategoryNode* empty = Children(root)[1];
    EXPECT_EQ(empty->isResource, 1);
    EXPECT_STREQ(empty->name, "");
}

TEST_F(FileEpgTest, CountIsCappedAndBareNamesFillThePool) {
    std::string file = "[FILE_EPG]\nCOUNT=70\n";
    for (uint32_t i = 0; i < 70; ++i)
        file += Section(i + 1, std::string("f").append(std::to_string(i)));
    ASSERT_EQ(ParseText(file), 0);
    EXPECT_EQ(Current().resourceCount, 64u);
    // The root takes one of the 64 nodes: 63 resources fit.
    EXPECT_EQ(Children(Current().root).size(), 63u);
    EXPECT_EQ(Current().resource[62].programId, 63u);
    EXPECT_EQ(Current().resource[63].programId, 0u);
}

TEST_F(FileEpgTest, FileAndVersionRules) {
    struct Case {
        std::string text;
        int32_t result;
        const char* message;
    };
    const Case rejected[] = {
        {"COUNT=1\n[PROGRAM1]\n", -1, "Invalid file epg."},
        {" [FILE_EPG]\nCOUNT=1\n", -1, "Invalid file epg."},
        {"[FILE_EPG]\n[PROGRAM1]\n", kr::kFileEpgNoCount, "No program in this file."},
        {"[FILE_EPG]\nCOUNT=0\n", kr::kFileEpgNoCount, "No program in this file."},
        {"[FILE_EPG]\nCOUNTS=1\nCOUNT=1\n", kr::kFileEpgNoCount, "No program in this file."},
        // A negative count would announce billions of records.
        {"[FILE_EPG]\nCOUNT=-3\n", kr::kFileEpgNoCount, "No program in this file."},
        {"[FILE_EPG]\nCOUNT=3000000000\n", kr::kFileEpgNoCount, "No program in this file."},
    };
    for (const Case& c : rejected) {
        host.Clear();
        EXPECT_EQ(ParseText(c.text), c.result) << c.text;
        EXPECT_TRUE(host.HasDebugText(c.message)) << c.text;
        EXPECT_EQ(kr::Epg().currentDownload, nullptr) << c.text;
    }

    const std::string v1 = "[FILE_EPG]\nCOUNT=1\nVERSION=20100101000000\n" + Section(1, "a");
    ASSERT_EQ(ParseText(v1), 0);
    kr::DownloadBuffer* first = kr::Epg().currentDownload;
    host.Clear();
    EXPECT_EQ(ParseText(v1), 1);
    EXPECT_TRUE(host.HasDebugText("Received resource EPG."));
    EXPECT_EQ(kr::Epg().currentDownload, first);

    // Without VERSION the file is parsed every time it comes, in the other buffer.
    const std::string none = "[FILE_EPG]\nCOUNT=1\n" + Section(3, "c");
    ASSERT_EQ(ParseText(none), 0);
    kr::DownloadBuffer* second = kr::Epg().currentDownload;
    EXPECT_NE(second, first);
    EXPECT_EQ(second->epg.version, kr::kNoVersion);
    ASSERT_EQ(ParseText(none), 0);
    EXPECT_EQ(kr::Epg().currentDownload, first);
}

TEST_F(FileEpgTest, RecordsOfAnOlderFileAreNotShown) {
    const std::string full = "[FILE_EPG]\nCOUNT=3\nVERSION=20100101000000\n" + Section(1, "/d/a") +
                             Section(2, "/d/b") + Section(3, "/d/c");
    const std::string other = "[FILE_EPG]\nCOUNT=1\nVERSION=20100102000000\n" + Section(9, "x");
    // COUNT 3, one section: the buffer of the first file is used again.
    const std::string shortFile =
        "[FILE_EPG]\nCOUNT=3\nVERSION=20100103000000\n" + Section(7, "/d/z");
    ASSERT_EQ(ParseText(full), 0);
    kr::DownloadBuffer* first = kr::Epg().currentDownload;
    ASSERT_EQ(ParseText(other), 0);
    ASSERT_EQ(ParseText(shortFile), 0);
    ASSERT_EQ(kr::Epg().currentDownload, first);
    const DownloadEpg& epg = Current();
    EXPECT_EQ(epg.resourceCount, 3u);
    EXPECT_EQ(epg.resource[0].programId, 7u);
    EXPECT_EQ(epg.resource[1].programId, 0u);
    EXPECT_EQ(epg.resource[2].programId, 0u);
    EXPECT_EQ(NodesInUse(epg), 3);
    EXPECT_EQ(Labels(Child(epg.root, "d")), (std::vector<std::string>{"z"}));
}

}  // namespace
}  // namespace file_epg_test
