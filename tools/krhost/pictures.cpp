#include "pictures.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

namespace krhost {
namespace {

namespace fs = std::filesystem;

constexpr auto kDecodeLimit = std::chrono::seconds(60);
constexpr auto kPoll = std::chrono::milliseconds(20);

std::optional<fs::path> GstLaunch() {
    for (const char* dir : {"/usr/bin", "/usr/local/bin"}) {
        std::error_code code;
        const fs::path program = fs::path(dir) / "gst-launch-1.0";
        if (fs::exists(program, code)) return program;
    }
    return std::nullopt;
}

}  // namespace

std::optional<fs::path> FindGstPlugin() {
    if (!GstLaunch()) return std::nullopt;
    std::vector<fs::path> candidates;
    std::error_code code;
    const fs::path executable = fs::read_symlink("/proc/self/exe", code);
    if (!code) candidates.push_back(executable.parent_path() / ".." / "gst");
    candidates.emplace_back(KRHOST_GST_PLUGIN_INSTALL_DIR);
    for (const fs::path& dir : candidates)
        if (fs::exists(dir / "libgstkrdemux.so", code)) return fs::weakly_canonical(dir, code);
    return std::nullopt;
}

bool DecodeFirstPicture(const fs::path& pluginDir, const fs::path& stream, uint32_t program,
                        const fs::path& card, const fs::path& png, std::string& error) {
    const std::optional<fs::path> launch = GstLaunch();
    if (!launch) {
        error = "gst-launch-1.0 is not installed";
        return false;
    }
    std::vector<std::string> words = {launch->string(),
                                      "-q",
                                      "filesrc",
                                      "location=" + stream.string(),
                                      "!",
                                      "krdemux",
                                      "program=" + std::to_string(program),
                                      "card=" + card.string(),
                                      "!",
                                      "avdec_mpeg4",
                                      "!",
                                      "videoconvert",
                                      "!",
                                      "pngenc",
                                      "snapshot=true",
                                      "!",
                                      "filesink",
                                      "location=" + png.string()};
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    // The child finds the plugin in the build, and keeps its plugin list beside the picture.
    std::vector<std::string> settings = {"GST_PLUGIN_PATH=" + pluginDir.string(),
                                         "GST_REGISTRY=" +
                                             (png.parent_path() / "gst-registry.bin").string()};
    std::vector<char*> env;
    for (std::string& s : settings)
        env.push_back(s.data());
    for (char** e = environ; *e != nullptr; ++e)
        if (std::string_view(*e).rfind("GST_PLUGIN_PATH=", 0) != 0 &&
            std::string_view(*e).rfind("GST_REGISTRY=", 0) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // krhost keeps Ctrl-C and SIGTERM blocked for its signal thread; the child takes them as
    // any program does.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), env.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = "gst-launch-1.0 did not start";
        return false;
    }
    // A pipeline that hangs must not hang the demo.
    const auto deadline = std::chrono::steady_clock::now() + kDecodeLimit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            (void)::kill(child, SIGKILL);
            (void)::waitpid(child, &status, 0);
            error = "gst-launch-1.0 did not finish";
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    std::error_code code;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || fs::file_size(png, code) == 0 || code) {
        error = "GStreamer could not decode it (is gstreamer1.0-libav installed?)";
        return false;
    }
    return true;
}

}  // namespace krhost
