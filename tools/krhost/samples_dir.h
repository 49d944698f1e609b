// Where krhost finds the samples: the demo's scenario and the default card profile.
#pragma once

#include <filesystem>

namespace krhost {

// The given directory (checked), else the samples beside the executable (build tree or
// installed), else those of the source tree it was built from. Throws krtools::ToolError.
std::filesystem::path FindSamples(const std::filesystem::path& given);

// The sample card profile, found the same way.
std::filesystem::path DefaultCardProfile();

}  // namespace krhost
