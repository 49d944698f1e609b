// Pictures of what a program shows: its first frame decoded to PNG by GStreamer, through the
// krdemux element, in a gst-launch-1.0 process of its own (the library runs once per process,
// and this one already runs it). Only where GStreamer's tools and the plugin are installed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace krhost {

// Where the krdemux plugin is (beside this krhost in its build, or installed); none when it is
// not there or gst-launch-1.0 is missing.
std::optional<std::filesystem::path> FindGstPlugin();

// Decodes the first picture of the program of the transport stream into png through krdemux
// with the card profile. False with the reason when it could not.
bool DecodeFirstPicture(const std::filesystem::path& pluginDir, const std::filesystem::path& stream,
                        uint32_t program, const std::filesystem::path& card,
                        const std::filesystem::path& png, std::string& error);

}  // namespace krhost
