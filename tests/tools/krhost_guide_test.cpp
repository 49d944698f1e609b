// The programme guide page: broadcast text never becomes markup, now and next follow the
// clock, and the sample broadcast's page, opened in a headless browser, shows every program
// with its icon decoded, every day of its schedule and every resource in its directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "guide_page.h"
#include "options.h"
#include "support/json_reader.h"
#include "tools/tool_process.h"

namespace {

namespace fs = std::filesystem;
using krhost::GuideDay;
using krhost::GuideTime;
using ::testing::HasSubstr;

// A still of what is on shows beside its program only when it is a PNG image.
TEST(GuidePage, StillShowsOnlyWhenItIsAPng) {
    krhost::GuidePage page;
    page.hasLive = true;
    krhost::GuideProgram picture, other;
    picture.id = 1001;
    picture.still = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0};
    other.id = 1002;
    other.still = {'<', 's', 'v', 'g', '>', 0, 0, 0, 0};
    page.programs = {picture, other};
    const std::string html = krhost::RenderGuidePage(page, {8, 12, 600});
    const std::size_t first = html.find("class=\"still\" src=\"data:image/png;base64,iVBORw0KGgoA");
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(first, html.find("id=\"program-1002\""));
    EXPECT_EQ(html.find("class=\"still\"", first + 1), std::string::npos);
}

TEST(GuidePage, BroadcastMarkupStaysText) {
    const std::string evil =
        R"(</h3><script>alert(1)</script>"' onload="x" & <img src=x onerror=alert(2)>)";
    const std::string shown =
        "&lt;/h3&gt;&lt;script&gt;alert(1)&lt;/script&gt;&quot;&#39; onload=&quot;x&quot; "
        "&amp; &lt;img src=x onerror=alert(2)&gt;";
    krhost::GuidePage page;
    page.hasLive = page.hasDownload = true;
    page.liveVersion = page.downloadVersion = evil;
    krhost::GuideProgram p;
    p.name = p.channel = p.media = p.abstract = p.epgInfoFile = evil;
    p.internetLink = "javascript:alert(3)";
    p.icon = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0};
    p.hasSchedule = true;
    p.days.fill({evil, evil + "; 10:00 " + evil});
    page.programs = {p};
    page.links = {{714000, 1, 2, 3, evil, evil}};
    krhost::GuideNode resource{evil, 9, true, 10, true, evil, {}};
    page.tree = krhost::GuideNode{
        "/", 0, false, 0, false, "", {{evil, 1, false, 0, false, "", {resource}}}};
    const std::string html = krhost::RenderGuidePage(page, {8, 12, 600});

    EXPECT_EQ(html.find(evil), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img src=x"), std::string::npos);
    EXPECT_EQ(html.find("href"), std::string::npos);  // no link the broadcast could aim
    EXPECT_THAT(html, HasSubstr("<h3 class=\"name\">" + shown + "</h3>"));
    EXPECT_THAT(html, HasSubstr("alt=\"icon of " + shown + "\""));
    EXPECT_THAT(html, HasSubstr("title=\"" + shown + "\"><span class=\"name\">" + shown));
    EXPECT_THAT(html, HasSubstr("<li>10:00 " + shown + "</li>"));
    EXPECT_THAT(html, HasSubstr("<code>javascript:alert(3)</code>"));
    // Bytes that are not UTF-8 cannot swallow the markup after them.
    EXPECT_EQ(krhost::EscapeHtml("a\xFF\xC0\x80<b\xE2\x82\xAC\xE2\x82"),
              "a\uFFFD\uFFFD\uFFFD&lt;b\u20AC\uFFFD\uFFFD");

    EXPECT_EQ(
        krhost::ParseHostArguments({"guide", "--input", "-", "--out", "g", "--until-end"}).command,
        krhost::Command::Guide);
    EXPECT_THROW(krhost::ParseHostArguments({"guide", "--input", "-"}), krtools::ToolError);
}

TEST(GuidePage, NowAndNextFollowTheClock) {
    std::array<GuideDay, 7> days;
    days[0] = {"Monday 7 December", "06:00 A; 12:00 B"};
    days[1] = {"Tuesday 8 December", "09:00 C;18:00 D "};
    days[2] = {"Wed 9 Dec", "7:00 E"};
    const struct {
        GuideTime now;
        const char* current;
        const char* next;
    } cases[] = {
        {{8, 12, 10 * 60}, "09:00 C", "18:00 D"},
        {{8, 12, 19 * 60}, "18:00 D", "Wed 9 Dec, 7:00 E"},
        {{8, 12, 8 * 60}, "", "09:00 C"},
        {{20, 1, 10 * 60}, "06:00 A", "12:00 B"},  // no day named today: the first
    };
    for (const auto& c : cases) {
        const krhost::NowAndNext got = krhost::FindNowAndNext(days, c.now);
        EXPECT_EQ(got.now, c.current) << c.now.minute;
        EXPECT_EQ(got.next, c.next) << c.now.minute;
    }
}

// KEY=VALUE lines of an EPG text file by section, values verbatim.
std::vector<std::map<std::string, std::string>> Sections(const fs::path& file) {
    const std::vector<uint8_t> bytes = krtools::ReadWholeFile(file);
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    std::vector<std::map<std::string, std::string>> sections;
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("[", 0) == 0) sections.emplace_back();
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && !sections.empty())
            sections.back()[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return sections;
}

std::string NoBlanks(std::string text) {
    std::erase(text, ' ');
    return text;
}

// Collects what the browser shows into the harness page, which the browser prints.
constexpr const char* kHarness = R"(<!DOCTYPE html>
<html><body><pre id="result">not run</pre><iframe id="guide" src="GUIDE"></iframe>
<script>
window.addEventListener("load", () => {
  const doc = document.getElementById("guide").contentDocument;
  const text = (e) => (e ? e.textContent.trim() : null);
  const all = (root, selector) => [...root.querySelectorAll(selector)];
  const result = { scripts: doc.scripts.length, programs: [], resources: [],
    outside: all(doc, "[src], [href]").filter((e) => !(e.getAttribute("src") || "").startsWith("data:")).length };
  for (const p of all(doc, "article.program")) {
    const icon = p.querySelector("img.icon");
    result.programs.push({ id: Number(p.dataset.program), name: text(p.querySelector(".name")),
      icon: icon ? icon.naturalWidth : -1, days: all(p, ".schedule th").map(text),
      entries: all(p, ".schedule tbody td").map((td) => all(td, "li").map(text).join("; ")) });
  }
  for (const r of all(doc, ".tree li.resource")) {
    const path = [];
    for (let d = r.parentElement.closest("li.directory"); d; d = d.parentElement.closest("li.directory"))
      path.unshift(text(d.querySelector(":scope > .name")));
    result.resources.push({ id: Number(r.dataset.resource), name: text(r.querySelector(".name")),
      path: path.join("|"), scrambled: r.querySelector(".scrambled") !== null });
  }
  document.getElementById("result").textContent = JSON.stringify(result);
});
</script></body></html>
)";

std::string Unescape(std::string text) {
    for (const auto& [from, to] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}})
        for (std::size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, std::string(from).size(), to);
    return text;
}

TEST(GuideInBrowser, SamplePageShowsProgramsIconsSchedulesAndResources) {
    const char* given = std::getenv("KRMODULE_CHROMIUM");
    const std::string chromium = given != nullptr ? given : "/usr/bin/chromium";
    if (!fs::exists(chromium))
        GTEST_SKIP() << "chromium is not installed (" << chromium
                     << "): the guide is not checked in a browser";
    const fs::path samples = KRMODULE_SAMPLES_DIR;
    const fs::path artifacts = KRMODULE_ARTIFACTS_DIR;
    const fs::path work =
        fs::temp_directory_path() / ("krhost_guide_" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path guide = artifacts / "guide";
    fs::remove_all(guide);
    const krtest::ToolRun mux = krtest::RunTool(
        KRMUX_EXE,
        {"--scenario", (samples / "scenario").string(), "--out", (work / "s.ts").string()});
    ASSERT_EQ(mux.status, 0) << mux.err;
    const krtest::ToolRun host =
        krtest::RunTool(KRHOST_EXE, {"guide", "--input", (work / "s.ts").string(), "--out",
                                     guide.string(), "--store", (work / "krhost.store").string()});
    ASSERT_EQ(host.status, 0) << host.err;
    EXPECT_THAT(host.err, HasSubstr("programme guide: " + (guide / "index.html").string()));

    std::string harness = kHarness;
    harness.replace(harness.find("GUIDE"), 5, "file://" + (guide / "index.html").string());
    krtools::WriteWholeFile(work / "harness.html",
                            std::vector<uint8_t>(harness.begin(), harness.end()));
    const auto browser = [&](const std::string& profile, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--headless", "--no-sandbox", "--disable-gpu",
                                             "--no-first-run", "--disable-background-networking",
                                             "--user-data-dir=" + (work / profile).string()});
        return krtest::StartTool(chromium, arguments, "/dev/null", false);
    };
    const fs::path png = artifacts / "guide.png";
    const krtest::ToolProcess shot = browser(
        "shot", {"--hide-scrollbars", "--window-size=1280,2000", "--screenshot=" + png.string(),
                 "file://" + (guide / "index.html").string()});
    const krtest::ToolProcess dom = browser("dom", {"--allow-file-access-from-files", "--dump-dom",
                                                    "file://" + (work / "harness.html").string()});
    const krtest::ToolRun shown = krtest::WaitTool(dom, 60);
    const krtest::ToolRun shotRun = krtest::WaitTool(shot, 60);
    fs::remove_all(work);
    EXPECT_EQ(shotRun.status, 0) << shotRun.err;
    EXPECT_GT(fs::exists(png) ? fs::file_size(png) : 0, 10000u) << png;
    ASSERT_EQ(shown.status, 0) << shown.err;
    const std::size_t start = shown.out.find("<pre id=\"result\">");
    const std::size_t end = shown.out.find("</pre>");
    ASSERT_TRUE(start != std::string::npos && end != std::string::npos) << shown.out;
    const auto result = krtest::ParseJson(Unescape(shown.out.substr(start + 17, end - start - 17)));
    ASSERT_TRUE(result.has_value()) << shown.out;
    EXPECT_EQ((*result)["scripts"].Int(), 0);
    EXPECT_EQ((*result)["outside"].Int(), 0);

    std::map<std::string, std::map<std::string, std::string>> schedules;
    for (const auto& s : Sections(samples / "epg" / "ProgramEPG.txt"))
        if (s.count("ProgramID")) schedules[s.at("ProgramID")] = s;
    std::size_t p = 0;
    std::size_t icons = 0;
    const auto& programs = (*result)["programs"].items;
    for (auto want : Sections(samples / "epg" / "LiveEPG.txt")) {
        if (!want.count("ProgramID") || want["ProgramSort"] == "8") continue;
        ASSERT_LT(p, programs.size());
        const krtest::JsonValue& got = programs[p++];
        EXPECT_EQ(got["id"].Int(), std::stoll(want["ProgramID"]));
        EXPECT_EQ(got["name"].text, NoBlanks(want["ProgramName"]));
        // The icon's width is the one in its BMP header.
        const fs::path icon = samples / "epg" / "ico" / (want["ProgramID"] + ".bmp");
        int width = -1;
        if (fs::exists(icon)) {
            const std::vector<uint8_t> bmp = krtools::ReadWholeFile(icon);
            ASSERT_GE(bmp.size(), 22u);
            width = bmp[18] | bmp[19] << 8;
            ++icons;
        }
        EXPECT_EQ(got["icon"].Int(), width) << want["ProgramID"];
        auto& days = schedules[want["ProgramID"]];
        ASSERT_EQ(got["days"].items.size(), 7u);
        ASSERT_EQ(got["entries"].items.size(), 7u);
        for (std::size_t d = 0; d < 7; ++d) {
            EXPECT_EQ(got["days"][d].text, days["Day" + std::to_string(d + 1)]);
            EXPECT_EQ(got["entries"][d].text, days["Content" + std::to_string(d + 1)]);
        }
    }
    EXPECT_EQ(p, 4u);
    EXPECT_EQ(icons, 3u);
    EXPECT_EQ(programs.size(), 4u);

    std::map<int64_t, const krtest::JsonValue*> resources;
    for (const krtest::JsonValue& r : (*result)["resources"].items)
        resources[r["id"].Int()] = &r;
    std::size_t listed = 0;
    for (auto want : Sections(samples / "epg" / "FileEPG.txt")) {
        if (!want.count("ProgramID")) continue;
        ++listed;
        const auto it = resources.find(std::stoll(want["ProgramID"]));
        ASSERT_NE(it, resources.end()) << want["ProgramID"];
        const krtest::JsonValue& got = *it->second;
        EXPECT_EQ(got["name"].text, NoBlanks(want["ProgramName"]));
        EXPECT_EQ(got["scrambled"].boolean, want["CA"] == "1") << want["ProgramID"];
        // "/Movies$2/Drama/x.ts" lies in / > Movies > Drama.
        std::string path = "/";
        std::istringstream parts(want["FileName"]);
        std::vector<std::string> names;
        for (std::string part; std::getline(parts, part, '/');)
            if (!part.empty()) names.push_back(part.substr(0, part.find('$')));
        for (std::size_t i = 0; i + 1 < names.size(); ++i)
            path += "|" + names[i];
        EXPECT_EQ(got["path"].text, path) << want["ProgramID"];
    }
    EXPECT_EQ(listed, 12u);
    EXPECT_EQ(resources.size(), 12u);
}

}  // namespace
