#include "tests/e2e/process.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<std::string> split_words(const char* text)
{
    std::vector<std::string> words;
    std::string word;
    for (const char* p = text; *p; ++p) {
        if (*p == ' ' || *p == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += *p;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

std::string read_file(const std::string& path)
{
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

void record_status(child_process* child, int status)
{
    child->exited = true;
    child->pid = -1;
    if (WIFEXITED(status)) {
        child->exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        child->term_signal = WTERMSIG(status);
    }
}

} // namespace

int process_start(child_process* child, const std::string& program,
                  const std::vector<std::string>& args,
                  const process_options& options)
{
    *child = child_process{};
    char templ[] = "/tmp/vantry-e2e-XXXXXX";
    if (!mkdtemp(templ)) return -1;
    child->dir = templ;
    child->out_path = child->dir + "/stdout";
    child->err_path = child->dir + "/stderr";

    std::vector<std::string> argv_text;
    const char* prefix = std::getenv("VANTRY_RUN_PREFIX");
    if (options.use_run_prefix && prefix && *prefix) argv_text = split_words(prefix);
    argv_text.push_back(program);
    argv_text.insert(argv_text.end(), args.begin(), args.end());

    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Environment: the parent's, with the additions replacing same names.
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        size_t name_len = eq ? size_t(eq - *e) : std::strlen(*e);
        bool replaced = false;
        for (const auto& add : options.env)
            if (add.size() > name_len && add.compare(0, name_len, *e, name_len) == 0 &&
                add[name_len] == '=')
                replaced = true;
        if (!replaced) env_text.emplace_back(*e);
    }
    env_text.insert(env_text.end(), options.env.begin(), options.env.end());
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string in_path = options.stdin_path.empty() ? "/dev/null" : options.stdin_path;

    int out_fd = open(child->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err_fd = open(child->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int in_fd = open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (out_fd < 0 || err_fd < 0 || in_fd < 0) {
        if (out_fd >= 0) close(out_fd);
        if (err_fd >= 0) close(err_fd);
        if (in_fd >= 0) close(in_fd);
        return -1;
    }

    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        close(out_fd);
        close(err_fd);
        close(in_fd);
        return -1;
    }
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        // Own process group, so that a signal to the test runner's group
        // does not reach the child and the child's helpers stay together.
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    close(in_fd);
    child->pid = pid;
    return 0;
}

int process_wait(child_process* child, int timeout_ms)
{
    if (child->exited) return 0;
    if (child->pid <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(child->pid, &status, WNOHANG);
        if (r == child->pid) {
            record_status(child, status);
            return 0;
        }
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int process_signal(child_process* child, int sig)
{
    if (child->exited || child->pid <= 0) return -1;
    return kill(child->pid, sig) == 0 ? 0 : -1;
}

int process_finish(child_process* child, int timeout_ms)
{
    int r = process_wait(child, timeout_ms);
    if (r != 1) return r;
    if (child->pid > 0) kill(child->pid, SIGKILL);
    int status = 0;
    while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
    }
    record_status(child, status);
    return 1;
}

std::string process_stdout(const child_process& child)
{
    return read_file(child.out_path);
}

std::string process_stderr(const child_process& child)
{
    return read_file(child.err_path);
}

bool process_wait_output(const child_process& child, const std::string& needle,
                         int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (process_stdout(child).find(needle) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void process_cleanup(child_process* child)
{
    if (!child->exited && child->pid > 0) process_finish(child, 0);
    if (!child->dir.empty()) {
        unlink(child->out_path.c_str());
        unlink(child->err_path.c_str());
        rmdir(child->dir.c_str());
        child->dir.clear();
    }
}

bool e2e_under_wine()
{
    const char* p = std::getenv("VANTRY_RUN_PREFIX");
    return p && *p;
}

std::string e2e_program_path(const char* name)
{
    const char* win = std::getenv("VANTRY_WIN_BIN_DIR");
    if (e2e_under_wine() && win && *win)
        return std::string(win) + "/" + name + ".exe";
    return std::string(VANTRY_BIN_DIR "/") + name;
}
