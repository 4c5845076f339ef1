#include "converter_dialog.h"

#include <commdlg.h>
#include <shellapi.h>

#include <vector>

#include "platform/text_windows.h"
#include "resource.h"

namespace vexlor::ui {
namespace {

using platform::Utf8ToWide;
using platform::WideToUtf8;

// Longest path the open-file dialog may return (the long-path limit), with its terminator.
constexpr DWORD kPathBufferChars = 32768;

std::wstring Wide(const std::string& utf8) {
  std::wstring wide;
  Utf8ToWide(utf8, &wide);
  return wide;
}

// The filter list of the open-file dialog: label, patterns, ..., each ended by a zero, and a
// zero at the end.
std::wstring FilterList() {
  std::wstring list;
  for (const app::FileFilter& f : app::kRecordingFilters) {
    list += Wide(f.label) + L'\0' + Wide(f.patterns) + L'\0';
  }
  return list + L'\0';
}

}  // namespace

ConverterDialog::ConverterDialog(HINSTANCE instance) : instance_(instance) {
  icon_ = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
  small_icon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON),
                                              GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

ConverterDialog::~ConverterDialog() {
  controller_.OnClose();
  if (small_icon_ != nullptr) DestroyIcon(small_icon_);
}

INT_PTR ConverterDialog::DoModal() {
  return DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_CONVERTER), nullptr, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK ConverterDialog::DialogProc(HWND hwnd, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
  ConverterDialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<ConverterDialog*>(lparam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
    self->hwnd_ = hwnd;
  } else {
    self = reinterpret_cast<ConverterDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  return self != nullptr ? self->OnMessage(message, wparam, lparam) : FALSE;
}

INT_PTR ConverterDialog::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_DRAWITEM:
      if (wparam == IDC_BACKGROUND) {
        background_.DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
        return TRUE;
      }
      return FALSE;
    case WM_COMMAND:
      if (HIWORD(wparam) != BN_CLICKED) return FALSE;
      switch (LOWORD(wparam)) {
        case IDOK:      // Enter (the hidden default button)
        case IDCANCEL:  // Escape, the close box
          EndDialog(hwnd_, LOWORD(wparam));
          return TRUE;
        case IDC_OPEN:
          controller_.OnOpenRecording();
          return TRUE;
        case IDC_CONVERT:
          controller_.OnConvert();
          if (test_stall) controller_.job().Wait();
          return TRUE;
      }
      return FALSE;
    case kProgressMessage:
      queued_.fetch_sub(1);
      controller_.OnProgress(static_cast<int>(wparam), static_cast<int>(lparam));
      SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, 1);
      return TRUE;
    case WM_DROPFILES:
      OnDropFiles(reinterpret_cast<HDROP>(wparam));
      return TRUE;
    case WM_DESTROY:
      // The worker uses the job and posts to this window until it ends: cancel it and wait.
      // Events still queued die with the window.
      controller_.OnClose();
      return FALSE;
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      return FALSE;
  }
  return FALSE;
}

BOOL ConverterDialog::OnInitDialog() {
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(small_icon_ != nullptr ? small_icon_ : icon_));

  // The background picture covers the top-left 400 x 200 pixels, beneath the other controls,
  // and leaves out where they are when it paints.
  background_.SubclassDlgItem(IDC_BACKGROUND, hwnd_);
  background_.SetBitmaps(IDB_BACKGROUND, IDB_BACKGROUND, IDB_BACKGROUND, IDB_BACKGROUND, 0, 0, 0, 0,
                         0);
  HWND picture = background_.hwnd();
  SetWindowLongPtrW(picture, GWL_STYLE, GetWindowLongPtrW(picture, GWL_STYLE) | WS_CLIPSIBLINGS);
  SetWindowPos(picture, HWND_BOTTOM, 0, 0, 400, 200, SWP_NOREDRAW | SWP_NOACTIVATE);
  ShowWindow(picture, SW_SHOW);

  ShowStatus(controller_.status_text());
  DragAcceptFiles(hwnd_, TRUE);
  return TRUE;  // the system puts the focus on the first control that takes it
}

bool ConverterDialog::OnPaint() {
  if (!IsIconic(hwnd_)) return false;  // the dialog manager paints
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd_, &paint);
  return true;
}

void ConverterDialog::OnDropFiles(HDROP drop) {
  std::wstring path;
  if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) > 0) {
    path.resize(DragQueryFileW(drop, 0, nullptr, 0) + 1);
    path.resize(DragQueryFileW(drop, 0, path.data(), UINT(path.size())));
  }
  DragFinish(drop);
  if (!path.empty()) controller_.OnDrop(WideToUtf8(path));
}

void ConverterDialog::ShowStatus(const std::string& text) {
  SetDlgItemTextW(hwnd_, IDC_STATUS, Wide(text).c_str());
}

std::string ConverterDialog::AskForRecording() {
  std::vector<wchar_t> path(kPathBufferChars, L'\0');
  const std::wstring filters = FilterList();
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filters.c_str();
  ofn.lpstrFile = path.data();
  ofn.nMaxFile = kPathBufferChars;
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
  if (!GetOpenFileNameW(&ofn)) return std::string();  // cancelled (or the dialog failed)
  return WideToUtf8(path.data());
}

bool ConverterDialog::PostToWindow(int kind, int value) {
  if (test_queue_limit > 0 && queued_.load() >= test_queue_limit) return false;
  queued_.fetch_add(1);
  if (PostMessageW(hwnd_, kProgressMessage, static_cast<WPARAM>(kind),
                   static_cast<LPARAM>(value))) {
    return true;
  }
  queued_.fetch_sub(1);  // refused: the thread's queue is full (10,000 messages by default)
  return false;
}

}  // namespace vexlor::ui
