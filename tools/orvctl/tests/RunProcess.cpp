#include "RunProcess.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace orvctl::test {
namespace {

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ProcessResult RunOrvctl(const std::vector<std::string>& args, const std::string& workDir,
                        int timeoutSeconds) {
    const std::filesystem::path scratch = MakeTempDir("orvctl-run");
    std::string command;
    if (!workDir.empty()) {
        command += "cd " + Quote(workDir) + " && ";
    }
    command += "timeout -k 5 " + std::to_string(timeoutSeconds) + " " + Quote(ORVCTL_PATH);
    for (const auto& arg : args) {
        command += " " + Quote(arg);
    }
    command +=
        " </dev/null >" + Quote((scratch / "out").string()) + " 2>" + Quote((scratch / "err").string());
    const int status = std::system(command.c_str());
    ProcessResult result;
    result.exitCode = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    result.out = ReadAll(scratch / "out");
    result.err = ReadAll(scratch / "err");
    std::filesystem::remove_all(scratch);
    return result;
}

}  // namespace orvctl::test
