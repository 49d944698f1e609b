#include "epg/stored_records.h"

#include <cstring>

#include "core/byte_reader.h"
#include "epg/epg_database.h"

namespace kr {
namespace {

// Appends fields in memory order; the caller's span has exactly the record's size.
class RecordWriter {
  public:
    explicit RecordWriter(std::span<uint8_t> out) : out_(out) {}

    template <typename T>
    void Field(const T& value) {
        Put(&value, sizeof value);
    }
    void Put(const void* bytes, std::size_t n) {
        if (n > out_.size() - pos_) return;  // a field list longer than the record: never written
        std::memcpy(out_.data() + pos_, bytes, n);
        pos_ += n;
    }
    void Zero(std::size_t n) {
        if (n > out_.size() - pos_) return;
        std::memset(out_.data() + pos_, 0, n);
        pos_ += n;
    }

  private:
    std::span<uint8_t> out_;
    std::size_t pos_ = 0;
};

template <typename T>
void ReadField(ByteReader& reader, T* value) {
    reader.CopyTo(reinterpret_cast<uint8_t*>(value), sizeof *value);
}

template <std::size_t N>
void ReadText(ByteReader& reader, char (&text)[N]) {
    reader.CopyTo(reinterpret_cast<uint8_t*>(text), N);
    // A store written elsewhere may hold an unterminated field; the host reads these as strings.
    text[N - 1] = '\0';
}

// A pointer of a 32-bit terminal.
constexpr std::size_t kPointer32 = 4;

}  // namespace

void EncodeProgram(const ProgramInfo& program, std::span<uint8_t, kStoredProgramSize> out) {
    RecordWriter w(out);
    w.Field(program.programId);
    w.Field(program.name);
    w.Field(program.ca);
    w.Field(program.abstract);
    w.Zero(3);               // padding before the pointers
    w.Zero(3 * kPointer32);  // media, icon, events: rebuilt at load
    w.Field(program.sort);
    w.Field(program.reserved1);
    w.Field(program.frequency);
    w.Field(program.internetLink);
    w.Field(program.epgInfoFile);
}

bool DecodeProgram(std::span<const uint8_t, kStoredProgramSize> in, ProgramInfo* program) {
    ByteReader r(in);
    ReadField(r, &program->programId);
    ReadText(r, program->name);
    ReadField(r, &program->ca);
    ReadText(r, program->abstract);
    r.Skip(3 + 3 * kPointer32);
    program->media = nullptr;
    program->icon = nullptr;
    program->events = nullptr;
    ReadField(r, &program->sort);
    ReadField(r, &program->reserved1);
    ReadField(r, &program->frequency);
    ReadText(r, program->internetLink);
    ReadText(r, program->epgInfoFile);
    return r.ok() && r.remaining() == 0;
}

void EncodeStream(const StreamInfo& stream, std::span<uint8_t, kStoredStreamSize> out) {
    RecordWriter w(out);
    w.Field(stream.programId);
    w.Field(stream.ca);
    w.Field(stream.reserved1);
    w.Field(stream.pid);
    w.Field(stream.frequency);
    w.Field(stream.sort);
    w.Field(stream.reserved2);
    w.Field(stream.spid);
    w.Field(stream.address);
    w.Field(stream.port);
    w.Field(stream.reserved3);
    // Both views of the media part fill its 256 bytes without padding or pointers, so the
    // bytes of the union are those of whichever view the sort selects.
    w.Field(stream.media);
}

bool DecodeStream(std::span<const uint8_t, kStoredStreamSize> in, StreamInfo* stream) {
    ByteReader r(in);
    ReadField(r, &stream->programId);
    ReadField(r, &stream->ca);
    ReadField(r, &stream->reserved1);
    ReadField(r, &stream->pid);
    ReadField(r, &stream->frequency);
    ReadField(r, &stream->sort);
    ReadField(r, &stream->reserved2);
    ReadField(r, &stream->spid);
    ReadField(r, &stream->address);
    ReadField(r, &stream->port);
    ReadField(r, &stream->reserved3);
    ReadField(r, &stream->media);
    // The host reads videoConfigLength bytes of an RTP program's videoConfig.
    const bool sdpSound = stream->sort != 4 || stream->media.sdp.videoConfigLength <=
                                                   sizeof stream->media.sdp.videoConfig;
    return r.ok() && r.remaining() == 0 && sdpSound;
}

void EncodeLink(const ServiceLink& link, std::span<uint8_t, kStoredLinkSize> out) {
    RecordWriter w(out);
    w.Field(link.frequency);
    w.Field(link.onid);
    w.Field(link.tsid);
    w.Field(link.svid);
    w.Field(link.internetLink);
    w.Field(link.epgInfoFile);
    w.Field(link.reserved);
}

bool DecodeLink(std::span<const uint8_t, kStoredLinkSize> in, ServiceLink* link) {
    ByteReader r(in);
    ReadField(r, &link->frequency);
    ReadField(r, &link->onid);
    ReadField(r, &link->tsid);
    ReadField(r, &link->svid);
    ReadText(r, link->internetLink);
    ReadText(r, link->epgInfoFile);
    ReadField(r, &link->reserved);
    return r.ok() && r.remaining() == 0;
}

void EncodeIcon(const IconInfo& icon, std::span<uint8_t, kStoredIconSize> out) {
    RecordWriter w(out);
    w.Field(icon.iconId);
    w.Field(icon.image.reserved1);
    w.Field(icon.image.reserved2);
    w.Field(icon.image.reserved3);
    w.Field(icon.image.reserved4);
    w.Field(icon.image.length);
    w.Field(icon.image.data);
}

bool DecodeIcon(std::span<const uint8_t, kStoredIconSize> in, IconInfo* icon) {
    ByteReader r(in);
    ReadField(r, &icon->iconId);
    ReadField(r, &icon->image.reserved1);
    ReadField(r, &icon->image.reserved2);
    ReadField(r, &icon->image.reserved3);
    ReadField(r, &icon->image.reserved4);
    ReadField(r, &icon->image.length);
    ReadField(r, &icon->image.data);
    // The host reads length bytes of data.
    return r.ok() && r.remaining() == 0 && icon->image.length <= kIconMax;
}

}  // namespace kr
