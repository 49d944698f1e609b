// Reading the content: the EPG directory, the clips, the resources and the CA profile.
#include "headend/head_end.h"

#include <string>

#include "common/block_payload.h"
#include "common/file_io.h"
#include "headend/elementary_stream.h"
#include "headend/sysinfo_payload.h"

namespace krtools {

HeadEndContent LoadContent(const MuxOptions& options) {
    HeadEndContent content;
    content.epgFiles = ReadEpgDirectory(options.epgDirectory);
    content.epgContainer = BuildEpgContainer(content.epgFiles);
    if (BlockCount(content.epgContainer.size()) > kMaxBlocks)
        throw ToolError("the EPG container is " + std::to_string(content.epgContainer.size()) +
                        " bytes, more than " + std::to_string(kMaxBlocks) + " blocks of " +
                        std::to_string(kBlockDataSize) + " bytes");

    const EpgFile* live = FindEpgFile(content.epgFiles, "LiveEPG.txt");
    const EpgFile* file = FindEpgFile(content.epgFiles, "FileEPG.txt");
    const Announcements announced = ReadAnnouncements(live ? live->bytes : std::vector<uint8_t>{},
                                                      file ? file->bytes : std::vector<uint8_t>{});

    content.version = options.version.empty() ? announced.liveVersion : options.version;
    if (!IsVersionStamp(content.version))
        throw ToolError(
            "no EPG version: give --version YYYYMMDDhhmmss or a VERSION line in "
            "LiveEPG.txt");

    for (const LiveProgramSource& source : options.programs) {
        const std::string name = "program " + std::to_string(source.programId);
        const auto where = announced.FindProgram(source.programId);
        if (!where) throw ToolError(name + " is not in LiveEPG.txt");
        if (where->sort != 4)
            throw ToolError(name + " is not an RTP program (ProgramSort " +
                            std::to_string(where->sort) + ")");
        LiveProgramContent program{*where, {}, {}};
        if (!source.video.empty()) {
            if (where->videoPort == 0) throw ToolError(name + " announces no video stream");
            program.video = ReadWholeFile(source.video);
            if (program.video.empty()) throw ToolError(source.video.string() + " is empty");
        }
        if (!source.audio.empty()) {
            if (where->audioPort == 0) throw ToolError(name + " announces no audio stream");
            program.audio = ReadWholeFile(source.audio);
            if (SplitAdtsFrames(program.audio).frames.empty())
                throw ToolError(source.audio.string() + " is not AAC audio in ADTS frames");
        }
        content.programs.push_back(std::move(program));
    }
    for (const ResourceSource& source : options.resources) {
        const auto where = announced.FindResource(source.resourceId);
        if (!where)
            throw ToolError("resource " + std::to_string(source.resourceId) +
                            " is not in FileEPG.txt");
        content.resources.push_back({*where, ReadWholeFile(source.file)});
    }
    if (options.ca.Enabled()) content.ca = LoadCaContent(options.ca, announced);
    return content;
}

}  // namespace krtools
