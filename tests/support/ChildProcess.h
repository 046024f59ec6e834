// Runs a built program as a child process with an environment of the test's choosing and collects
// its exit code and output, so that tests can check a command-line tool as a user would run it.
#ifndef ZENTRIX_TESTS_SUPPORT_CHILDPROCESS_H
#define ZENTRIX_TESTS_SUPPORT_CHILDPROCESS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zentrix::testing {

inline std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

struct ChildResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

struct ChildRun {
    std::filesystem::path program;
    std::vector<std::string> arguments;
    // Variables of the test's own environment that the child does not get, and NAME=value entries
    // it gets instead.
    std::vector<std::string> withoutVariables;
    std::vector<std::string> variables;
    // Standard input; /dev/null when empty.
    std::filesystem::path input;
    // Where the child's standard output and error are kept while it runs.
    std::filesystem::path scratchDirectory;
    std::chrono::milliseconds timeout{30000};
    std::optional<std::chrono::milliseconds> interruptAfter;
};

// A child that outlives its time limit is killed and the test fails; one that cannot start fails
// the test with exit code -1.
inline ChildResult RunChild(const ChildRun& run) {
    const std::filesystem::path outFile = run.scratchDirectory / "stdout.txt";
    const std::filesystem::path errFile = run.scratchDirectory / "stderr.txt";
    std::vector<std::string> argumentStorage = {run.program.string()};
    argumentStorage.insert(argumentStorage.end(), run.arguments.begin(), run.arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentStorage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> environmentStorage;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (std::find(run.withoutVariables.begin(), run.withoutVariables.end(), name) ==
            run.withoutVariables.end()) {
            environmentStorage.push_back(text);
        }
    }
    environmentStorage.insert(environmentStorage.end(), run.variables.begin(), run.variables.end());
    std::vector<char*> envp;
    for (std::string& entry : environmentStorage) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    const std::string inputFile = run.input.empty() ? "/dev/null" : run.input.string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ChildResult result;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
        return result;
    }

    const auto start = std::chrono::steady_clock::now();
    bool interrupted = false;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (run.interruptAfter && !interrupted && elapsed >= *run.interruptAfter) {
            kill(child, SIGINT);
            interrupted = true;
        }
        if (elapsed > run.timeout) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << run.program.filename() << " did not finish within the time limit";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadFile(outFile);
    result.err = ReadFile(errFile);
    return result;
}

}  // namespace zentrix::testing

#endif
