#include "samples_dir.h"

#include <string>
#include <vector>

#include "common/file_io.h"

namespace krhost {
namespace {

namespace fs = std::filesystem;

bool Holds(const fs::path& directory, const fs::path& file) {
    std::error_code code;
    return fs::is_regular_file(directory / file, code);
}

// The first samples directory holding the file, searched beside the executable first.
fs::path Search(const fs::path& file) {
    std::error_code code;
    const fs::path executable = fs::read_symlink("/proc/self/exe", code);
    std::vector<fs::path> candidates;
    if (!code) {
        const fs::path here = executable.parent_path();
        candidates = {here / "../../../samples", here / "../share/krmodule/samples"};
    }
    candidates.emplace_back(KRHOST_SOURCE_SAMPLES_DIR);
    for (const fs::path& candidate : candidates)
        if (Holds(candidate, file)) return fs::weakly_canonical(candidate, code);
    return {};
}

const fs::path kScenario = fs::path("scenario") / "scenario.txt";
const fs::path kCard = fs::path("card") / "card.txt";

}  // namespace

fs::path FindSamples(const fs::path& given) {
    if (!given.empty()) {
        if (!Holds(given, kScenario))
            throw krtools::ToolError("no samples in " + given.string() +
                                     " (scenario/scenario.txt missing)");
        return given;
    }
    const fs::path found = Search(kScenario);
    if (found.empty())
        throw krtools::ToolError("cannot find the samples directory; give --samples DIR");
    return found;
}

fs::path DefaultCardProfile() {
    const fs::path found = Search(kCard);
    if (found.empty())
        throw krtools::ToolError(
            "cannot find the sample card profile; give --card PROFILE (or --card none)");
    return found / kCard;
}

}  // namespace krhost
