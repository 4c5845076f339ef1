// Starting programs from tests without a shell, the same way on POSIX and on Windows: an
// argument list in, the exit status and what the program printed out.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
extern char** environ;
#endif

namespace vexlor::testing {

struct ProcessResult {
  int exit_code = -1;  // -1: could not be started, or ended by a signal
  std::string output;  // what was captured
};

enum class Capture {
  kBoth,    // standard output and standard error, as they come
  kStdout,  // standard output; standard error goes to the test's own
  kStderr,  // standard error; standard output is discarded
};

struct ProcessOptions {
  Capture capture = Capture::kBoth;
  bool close_output = false;  // nobody reads the captured stream: the program's writes fail
  std::vector<std::pair<std::string, std::string>> environment;  // set for the program
};

#ifdef _WIN32

inline unsigned long ProcessId() {
  return GetCurrentProcessId();
}

inline std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

// One argument as the C runtime's command-line parser reads it back.
inline void AppendQuoted(std::wstring* line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line->append(arg);
    return;
  }
  line->push_back(L'"');
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
    if (i == arg.size()) {
      line->append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      line->append(backslashes * 2 + 1, L'\\');
    } else {
      line->append(backslashes, L'\\');
    }
    line->push_back(arg[i]);
  }
  line->push_back(L'"');
}

inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                const ProcessOptions& options = {}) {
  ProcessResult result;
  if (argv.empty()) return result;
  std::wstring line;
  for (const std::string& a : argv) {
    if (!line.empty()) line.push_back(L' ');
    AppendQuoted(&line, Widen(a));
  }
  // The environment block: ours, with the options' variables replaced or added.
  std::vector<std::wstring> vars;
  if (wchar_t* env = GetEnvironmentStringsW()) {
    for (const wchar_t* p = env; *p != L'\0'; p += wcslen(p) + 1) vars.emplace_back(p);
    FreeEnvironmentStringsW(env);
  }
  for (const auto& [name, value] : options.environment) {
    const std::wstring key = Widen(name) + L"=";
    std::erase_if(vars, [&key](const std::wstring& v) { return v.rfind(key, 0) == 0; });
    vars.push_back(key + Widen(value));
  }
  std::wstring block;
  for (const std::wstring& v : vars) block += v + L'\0';
  block += L'\0';

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return result;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE null_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
  if (options.close_output) {
    CloseHandle(read_end);
    read_end = nullptr;
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in;
  si.hStdOutput = options.capture == Capture::kStderr ? null_out : write_end;
  si.hStdError = options.capture == Capture::kStdout ? GetStdHandle(STD_ERROR_HANDLE) : write_end;
  PROCESS_INFORMATION pi{};
  // wine's CreateProcessW now and then fails with ERROR_INTERNAL_ERROR when several test
  // programs start processes at once; the same call succeeds when made again. Any other error
  // is the program's or the test's and is reported as it is.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 20 && !started; ++attempt) {
    started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &si, &pi);
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
    if (!started) SwitchToThread();
  }
  CloseHandle(write_end);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
  if (started) {
    char buf[4096];
    DWORD n = 0;
    while (read_end != nullptr && ReadFile(read_end, buf, sizeof buf, &n, nullptr) && n > 0) {
      result.output.append(buf, n);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(pi.hProcess, &code)) result.exit_code = int(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  if (read_end != nullptr) CloseHandle(read_end);
  return result;
}

// Programs of the build host (ffmpeg, x264, ...) cannot be driven from a Windows program under
// wine: their output and exit status do not come back. Checks that need them run on the Linux
// side (tests/windows) on the files the Windows programs wrote.
inline bool HaveTool(const std::string&) {
  return false;
}

#else

inline unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}

inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                const ProcessOptions& options = {}) {
  ProcessResult result;
  if (argv.empty()) return result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  if (options.close_output) {
    close(fds[0]);
    fds[0] = -1;
  }
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    bool replaced = false;
    for (const auto& [name, value] : options.environment)
      replaced = replaced || std::strncmp(*e, (name + "=").c_str(), name.size() + 1) == 0;
    if (!replaced) env_strings.emplace_back(*e);
  }
  for (const auto& [name, value] : options.environment) env_strings.push_back(name + "=" + value);
  std::vector<char*> envp, args;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_copies(argv);
  for (std::string& s : arg_copies) args.push_back(s.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.capture == Capture::kStderr) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  }
  if (options.capture != Capture::kStdout) posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  if (fds[0] >= 0) posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  pid_t pid = -1;
  const int err = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (err == 0) {
    char buf[4096];
    ssize_t n;
    while (fds[0] >= 0 && ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
      if (n > 0) result.output.append(buf, size_t(n));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  if (fds[0] >= 0) close(fds[0]);
  return result;
}

// True when `name` is a program on the PATH.
inline bool HaveTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  const std::string dirs = path;
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

#endif

}  // namespace vexlor::testing
