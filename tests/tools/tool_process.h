// Runs a built tool as a child process with its standard input from a file and its output
// captured, killed when it overruns a deadline.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace krtest {

struct ToolRun {
    int status = -1;  // exit status; 128 + signal when killed by one; -1 when not started
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs program with arguments (under the cross-build emulator when there is one, unless it is
// a program of the machine itself, such as a browser).
ToolRun RunTool(const std::string& program, const std::vector<std::string>& arguments,
                const std::filesystem::path& input = "/dev/null", double timeoutSeconds = 60,
                bool emulated = true);

// Starts a tool without waiting; the caller kills or waits for it.
struct ToolProcess {
    int pid = -1;
    std::filesystem::path outPath;
    std::filesystem::path errPath;
};
ToolProcess StartTool(const std::string& program, const std::vector<std::string>& arguments,
                      const std::filesystem::path& input = "/dev/null", bool emulated = true);
// Waits for it (killing it at the deadline) and collects its output.
ToolRun WaitTool(const ToolProcess& process, double timeoutSeconds = 60);

}  // namespace krtest
