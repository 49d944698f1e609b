#include "common/file_io.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace krtools {

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw ToolError("cannot read " + path.string() + ": no such file");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError("cannot read " + path.string());
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
    if (in.bad()) throw ToolError("cannot read " + path.string());
    return bytes;
}

void WriteWholeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw OutputError("cannot write " + path.string());
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw OutputError("cannot write " + path.string());
}

}  // namespace krtools
