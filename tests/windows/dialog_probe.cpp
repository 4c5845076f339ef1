// A console helper for the dialog tests under wine: it looks at the running vexlor-gui.exe from
// outside, as a person looks at the screen, and prints what it sees (UTF-8, one item a line).
//
//   dialog_probe status                    the status line's text
//   dialog_probe wait-status TEXT SECONDS  waits until the status line starts with TEXT
//   dialog_probe geometry                  screen rectangles of the client area and controls,
//                                          with their styles and extended styles
//   dialog_probe wait-chooser SECONDS      waits for the open-file dialog and for the keyboard
//                                          focus inside it, prints its rectangle
//   dialog_probe chooser-text              the text of the control with the focus in it (the
//                                          file name field)
//   dialog_probe chooser-clear             empties that control
//   dialog_probe chooser-filters           the entries of its file type list, one a line
//   dialog_probe wait-no-chooser SECONDS   waits until the open-file dialog is gone
//   dialog_probe wait-gone SECONDS         waits until the dialog has closed
//   dialog_probe close                     closes the dialog as its close box does
//
// Exit status 0 when what was asked for was seen, 1 when it was not (within the time), 2 on a
// usage error. The waits poll every 50 ms up to the given number of seconds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

constexpr int kStatusId = 1002;
const int kControls[] = {1, 2, 1000, 1001, 1002, 1006};

HWND FindDialog() {
  return FindWindowW(L"#32770", L"Vexlor");
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// The status line's text, read through the window system (a WM_GETTEXT sent to the control).
bool StatusText(std::wstring* text) {
  HWND dialog = FindDialog();
  if (dialog == nullptr) return false;
  wchar_t buffer[4096] = {};
  GetDlgItemTextW(dialog, kStatusId, buffer, int(sizeof buffer / sizeof buffer[0]));
  *text = buffer;
  return true;
}

// The open-file dialog: a dialog box owned by ours.
struct ChooserSearch {
  HWND owner;
  HWND found;
};
BOOL CALLBACK FindOwned(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<ChooserSearch*>(param);
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  if (std::wcscmp(cls, L"#32770") == 0 && hwnd != search->owner &&
      GetWindow(hwnd, GW_OWNER) == search->owner && IsWindowVisible(hwnd)) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}
HWND FindChooser() {
  ChooserSearch search{FindDialog(), nullptr};
  if (search.owner == nullptr) return nullptr;
  EnumWindows(FindOwned, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The control that has the keyboard focus in the open-file dialog, if the focus is there.
HWND ChooserFocus(HWND chooser) {
  if (chooser == nullptr) return nullptr;
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(chooser, nullptr), &info)) return nullptr;
  HWND focus = info.hwndFocus;
  return focus != nullptr && IsChild(chooser, focus) ? focus : nullptr;
}

// The entries of the open-file dialog's file type list (control cmb1), read through the window
// system.
int ChooserFilters() {
  constexpr int kFileTypeList = 0x470;  // cmb1
  HWND list = GetDlgItem(FindChooser(), kFileTypeList);
  if (list == nullptr) return 1;
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutW(list, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 10000, &count)) return 1;
  for (WPARAM i = 0; i < count; ++i) {
    wchar_t entry[1024] = {};
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(list, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 10000, &length) ||
        length >= sizeof entry / sizeof entry[0] ||
        !SendMessageTimeoutW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry),
                             SMTO_ABORTIFHUNG, 10000, nullptr)) {
      return 1;
    }
    std::printf("%s\n", Utf8(entry).c_str());
  }
  return 0;
}

void PrintRect(const char* name, const RECT& r, HWND hwnd) {
  std::printf("%s %ld %ld %ld %ld %#lx %#lx\n", name, r.left, r.top, r.right - r.left,
              r.bottom - r.top, static_cast<unsigned long>(GetWindowLongPtrW(hwnd, GWL_STYLE)),
              static_cast<unsigned long>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)));
}

int Geometry() {
  HWND dialog = FindDialog();
  if (dialog == nullptr) return 1;
  RECT client;
  GetClientRect(dialog, &client);
  POINT origin{0, 0};
  ClientToScreen(dialog, &origin);
  OffsetRect(&client, origin.x, origin.y);
  PrintRect("client", client, dialog);
  for (int id : kControls) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) continue;
    RECT r;
    GetWindowRect(control, &r);
    char name[64];
    std::snprintf(name, sizeof name, "control %d %s", id,
                  IsWindowVisible(control) ? "visible" : "hidden");
    PrintRect(name, r, control);
  }
  return 0;
}

template <typename Done>
bool WaitFor(double seconds, Done done) {
  const ULONGLONG deadline = GetTickCount64() + ULONGLONG(seconds * 1000);
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::string command = Utf8(argv[1]);
  const double seconds = argc > 2 ? std::wcstod(argv[argc - 1], nullptr) : 0;
  std::wstring text;
  if (command == "status") {
    if (!StatusText(&text)) return 1;
    std::printf("%s\n", Utf8(text).c_str());
    return 0;
  }
  if (command == "wait-status" && argc == 4) {
    const std::wstring wanted = argv[2];
    const bool seen = WaitFor(
        seconds, [&] { return StatusText(&text) && text.compare(0, wanted.size(), wanted) == 0; });
    std::printf("%s\n", Utf8(text).c_str());
    return seen ? 0 : 1;
  }
  if (command == "geometry") return Geometry();
  if (command == "wait-chooser" && argc == 3) {
    HWND chooser = nullptr;
    if (!WaitFor(seconds, [&] { return ChooserFocus(chooser = FindChooser()) != nullptr; })) {
      return 1;
    }
    RECT r;
    GetWindowRect(chooser, &r);
    PrintRect("chooser", r, chooser);
    return 0;
  }
  if (command == "chooser-text" || command == "chooser-clear") {
    HWND field = ChooserFocus(FindChooser());
    if (field == nullptr) return 1;
    if (command == "chooser-clear") {
      return SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""),
                                 SMTO_ABORTIFHUNG, 10000, nullptr) != 0
                 ? 0
                 : 1;
    }
    wchar_t buffer[4096] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(field, WM_GETTEXT, sizeof buffer / sizeof buffer[0],
                             reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 10000, &copied)) {
      return 1;
    }
    std::printf("%s\n", Utf8(buffer).c_str());
    return 0;
  }
  if (command == "chooser-filters") return ChooserFilters();
  if (command == "wait-no-chooser" && argc == 3) {
    return WaitFor(seconds, [] { return FindChooser() == nullptr; }) ? 0 : 1;
  }
  if (command == "close") {
    HWND dialog = FindDialog();
    return dialog != nullptr && PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
  }
  if (command == "wait-gone" && argc == 3) {
    return WaitFor(seconds, [] { return FindDialog() == nullptr; }) ? 0 : 1;
  }
  return 2;
}
