// The programme guide of what the library delivered, written as a page for a browser.
#pragma once

#include <filesystem>
#include <string>

#include "epg_print.h"
#include "guide_page.h"
#include "options.h"
#include "outcome.h"

namespace krhost {

// Plain copies of the library's EPG records; read them before the library finishes.
GuidePage CollectGuide(const EpgSnapshot& epg);

struct GuideResult {
    bool written = false;
    std::filesystem::path path;  // DIRECTORY/index.html
    std::string text;            // where the page is and what it holds, or why it was not written
    std::size_t programs = 0;
    std::size_t resources = 0;
};

// Writes DIRECTORY/index.html (creating DIRECTORY) with the icons inline.
GuideResult WriteGuide(const EpgSnapshot& epg, const std::filesystem::path& directory);

Outcome RunGuide(const HostOptions& options);

}  // namespace krhost
