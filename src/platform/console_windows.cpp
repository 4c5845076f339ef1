// Windows console: binary standard streams, UTF-8 output, console control events.
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/console.h"
#include "platform/text_windows.h"

namespace vexlor::platform {
namespace {

UINT g_original_output_cp = 0;

void RestoreConsoleCodePage() {
  if (g_original_output_cp != 0) SetConsoleOutputCP(g_original_output_cp);
}

bool IsConsole(DWORD which, DWORD* mode) {
  const HANDLE h = GetStdHandle(which);
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, mode) != 0;
}

std::atomic<bool> g_interrupted{false};
// Set when the guard is gone: a handler that holds the process for a closing console may let
// it end.
HANDLE g_released = nullptr;
// How long a closing console, a log-off or a shut-down waits for the conversion to stop
// (Windows itself ends the process after about 5 seconds).
constexpr DWORD kCloseWaitMs = 10000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  g_interrupted.store(true);
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return TRUE;  // handled: the program stops by itself
    default:
      // The process ends when this returns: hold it until the current file is closed.
      if (g_released != nullptr) WaitForSingleObject(g_released, kCloseWaitMs);
      return TRUE;
  }
}

}  // namespace

void PrepareStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  DWORD mode;
  if (IsConsole(STD_OUTPUT_HANDLE, &mode) || IsConsole(STD_ERROR_HANDLE, &mode)) {
    const UINT current = GetConsoleOutputCP();
    if (current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8) != 0) {
      g_original_output_cp = current;
      std::atexit(RestoreConsoleCodePage);
    }
  }
}

void IgnoreWriteSignals() {}

bool StdoutIsTerminal() {
  DWORD mode;
  return IsConsole(STD_OUTPUT_HANDLE, &mode);
}

bool StderrIsTerminal() {
  DWORD mode;
  return IsConsole(STD_ERROR_HANDLE, &mode);
}

namespace {

// The C runtime's form of TZ: three letters, the hours west of UTC ("-1", "+05", "3:30"), and
// the summer time's letters; the runtime ignores any dates after them and applies its own. It
// reads any other text as something else (Europe/Berlin as zero hours west: UTC). UTC and GMT
// alone are UTC.
bool RuntimeUnderstands(const std::string& tz) {
  const auto letter = [&](size_t i) {
    return i < tz.size() && std::isalpha(static_cast<unsigned char>(tz[i]));
  };
  const auto digit = [&](size_t i) {
    return i < tz.size() && std::isdigit(static_cast<unsigned char>(tz[i]));
  };
  if (tz == "UTC" || tz == "GMT") return true;
  if (!letter(0) || !letter(1) || !letter(2)) return false;
  size_t i = 3;
  if (i < tz.size() && (tz[i] == '+' || tz[i] == '-')) ++i;
  if (!digit(i)) return false;
  while (digit(i)) ++i;
  for (int part = 0; part < 2 && i < tz.size() && tz[i] == ':'; ++part) {
    if (!digit(i + 1) || !digit(i + 2)) return false;
    i += 3;
  }
  if (i == tz.size()) return true;
  size_t letters = 0;
  while (letter(i)) ++i, ++letters;
  return letters >= 3 && (i == tz.size() || tz[i] == ',');
}

}  // namespace

std::string PrepareTimeZone() {
  const char* tz = std::getenv("TZ");
  if (tz == nullptr || *tz == '\0') return std::string();
  const std::string value = tz;
  if (RuntimeUnderstands(value)) return std::string();
  _putenv_s("TZ", "");  // removes it: the runtime then asks the system
  _tzset();
  return "TZ=" + value +
         " is not a time zone Windows programs understand (such as CET-1CEST); the system's own "
         "time zone is used";
}

void EndForClosedReader() {
  std::fflush(stderr);
  std::_Exit(1);
}

// Consoles that ignore the escape sequences (those before Windows 10, and wine's) would print
// them; blanking with spaces works on every console.
bool EnableLineEscapes() {
  return false;
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> out;
  out.reserve(size_t(argc));
  for (int i = 0; i < argc; ++i) out.push_back(WideToUtf8(argv[i]));
  return out;
}

InterruptGuard::InterruptGuard() {
  g_interrupted.store(false);
  if (g_released == nullptr) {
    g_released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  } else {
    ResetEvent(g_released);
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

InterruptGuard::~InterruptGuard() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  // The event is kept for the next guard: a handler may still be waiting on it.
  if (g_released != nullptr) SetEvent(g_released);
}

bool InterruptGuard::Interrupted() {
  return g_interrupted.load();
}

std::string SystemDescription() {
  // RtlGetVersion tells the version as it is (GetVersionEx tells what the manifest promised).
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return "Windows";
  using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto get_version = reinterpret_cast<GetVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  std::string text = "Windows";
  if (get_version != nullptr && get_version(&info) == 0) {
    char version[64];
    std::snprintf(version, sizeof version, " %lu.%lu (build %lu)", info.dwMajorVersion,
                  info.dwMinorVersion, info.dwBuildNumber);
    text += version;
  }
  // Under wine, which says so.
  using WineVersionFunction = const char*(__cdecl*)();
  const auto wine_version = reinterpret_cast<WineVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine_version != nullptr && wine_version() != nullptr) {
    text += " under wine ";
    text += wine_version();
  }
  return text;
}

}  // namespace vexlor::platform
