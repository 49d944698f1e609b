#include "tools/tool_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/file_io.h"

extern char** environ;

namespace krtest {

ToolProcess StartTool(const std::string& program, const std::vector<std::string>& arguments,
                      const std::filesystem::path& input, bool emulated) {
    static std::atomic<int> counter{0};
    ToolProcess p;
    const std::string stem =
        (std::filesystem::temp_directory_path() /
         ("tool_" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1))))
            .string();
    p.outPath = stem + ".out";
    p.errPath = stem + ".err";
    std::vector<std::string> words;
    const std::string emulator = KRHOST_EMULATOR;
    if (emulated && !emulator.empty()) words.push_back(emulator);
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, p.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, p.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) p.pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    return p;
}

ToolRun WaitTool(const ToolProcess& process, double timeoutSeconds) {
    ToolRun run;
    if (process.pid <= 0) return run;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeoutSeconds));
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(process.pid, &status, WNOHANG);
        if (done == process.pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            run.timedOut = true;
            ::kill(process.pid, SIGKILL);
            ::waitpid(process.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    for (auto [path, text] : {std::pair{process.outPath, &run.out}, {process.errPath, &run.err}}) {
        const std::vector<uint8_t> bytes = krtools::ReadWholeFile(path);
        text->assign(bytes.begin(), bytes.end());
        std::filesystem::remove(path);
    }
    return run;
}

ToolRun RunTool(const std::string& program, const std::vector<std::string>& arguments,
                const std::filesystem::path& input, double timeoutSeconds, bool emulated) {
    return WaitTool(StartTool(program, arguments, input, emulated), timeoutSeconds);
}

}  // namespace krtest
