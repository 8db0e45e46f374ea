// Test equipment: a program of the build run as a process of its own, its
// standard output read line by line and its standard input fed by the test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace vexa::test {

inline constexpr int kStartupMs = 20000;  // how long a machine may take to say it is ready

// A program run with its standard output on a pipe.
class Program {
public:
    // With `withInput` the program's standard input is a pipe that `write_line` feeds.
    Program(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
            bool withInput = false) {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        int input[2] = {-1, -1};
        if (withInput) {
            EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
            posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        }
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
        for (auto& [name, value] : env) environment.push_back(name + "=" + value);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
        if (withInput) {
            close(input[0]);
            in_ = input[1];
        }
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        if (in_ >= 0) close(in_);
    }

    void write_line(const std::string& line) {
        std::string text = line + "\n";
        EXPECT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // Reads output until a line contains `text`; false at end of output or after `timeoutMs`.
    // With `line`, the whole line that held it.
    bool read_until(const std::string& text, int timeoutMs = kStartupMs, std::string* line = nullptr) {
        for (;;) {
            if (size_t at = buffer_.find(text); at != std::string::npos) {
                size_t end = buffer_.find('\n', at);
                if (line != nullptr) {
                    size_t begin = buffer_.rfind('\n', at);
                    begin = begin == std::string::npos ? 0 : begin + 1;
                    *line = buffer_.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
                }
                buffer_.erase(0, end == std::string::npos ? buffer_.size() : end + 1);
                return true;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return false;
            char chunk[512];
            ssize_t got = read(out_, chunk, sizeof(chunk));
            if (got <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(got));
        }
    }
    // What the program has written so far, waiting at most `quietMs` for
    // more: a failure message about a program that is still running must not
    // wait for its end.
    std::string so_far(int quietMs = 500) {
        char chunk[512];
        for (pollfd p{out_, POLLIN, 0}; poll(&p, 1, quietMs) > 0;) {
            ssize_t got = read(out_, chunk, sizeof(chunk));
            if (got <= 0) break;
            buffer_.append(chunk, static_cast<size_t>(got));
        }
        return buffer_;
    }
    std::string rest() {
        char chunk[512];
        ssize_t got;
        while ((got = read(out_, chunk, sizeof(chunk))) > 0) buffer_.append(chunk, static_cast<size_t>(got));
        return buffer_;
    }
    int signal_and_wait(int signal) {
        kill(pid_, signal);
        return wait_exit();
    }
    int wait_exit() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string buffer_;
};

}  // namespace vexa::test
