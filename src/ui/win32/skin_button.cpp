#include "skin_button.h"

#include <commctrl.h>

#include <string>

namespace vexlor::ui {
namespace {

constexpr UINT_PTR kSubclassId = 1006;

// A window's text, for the caption.
std::wstring WindowText(HWND hwnd) {
  std::wstring text(size_t(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(size_t(GetWindowTextW(hwnd, text.data(), int(text.size()))));
  return text;
}

}  // namespace

SkinButton::~SkinButton() {
  if (hwnd_ != nullptr && IsWindow(hwnd_)) RemoveWindowSubclass(hwnd_, SubclassProc, kSubclassId);
  ReleaseBitmaps();
}

bool SkinButton::SubclassDlgItem(int id, HWND dialog) {
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return false;
  hwnd_ = control;
  PreSubclassWindow();
  return SetWindowSubclass(control, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this)) !=
         FALSE;
}

void SkinButton::PreSubclassWindow() {
  const LONG_PTR style = GetWindowLongPtrW(hwnd_, GWL_STYLE);
  SetWindowLongPtrW(hwnd_, GWL_STYLE, (style & ~LONG_PTR{BS_TYPEMASK}) | BS_OWNERDRAW);
}

LRESULT CALLBACK SkinButton::SubclassProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                          UINT_PTR, DWORD_PTR) {
  // The face is always painted whole by DrawItem.
  if (message == WM_ERASEBKGND) return 1;
  if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, SubclassProc, kSubclassId);
  return DefSubclassProc(hwnd, message, wparam, lparam);
}

HBITMAP SkinButton::Load(int id) const {
  if (id == 0) return nullptr;
  return static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id),
                                         IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
}

void SkinButton::ReleaseBitmaps() {
  for (HBITMAP* b : {&normal_, &pressed_, &hover_, &disabled_, &focus_, &mask_}) {
    if (*b != nullptr) DeleteObject(*b);
    *b = nullptr;
  }
}

void SkinButton::SetBitmaps(int normal_id, int pressed_id, int hover_id, int disabled_id,
                            int focus_id, int mask_id, int mode, int edge, int inset) {
  ReleaseBitmaps();
  normal_ = Load(normal_id);
  pressed_ = Load(pressed_id);
  hover_ = Load(hover_id);
  disabled_ = Load(disabled_id);
  focus_ = Load(focus_id);
  mask_ = Load(mask_id);
  draw_mode_ = static_cast<int16_t>(mode);
  draw_edge_ = edge;
  inset_ = static_cast<int16_t>(inset);
  if (hwnd_ != nullptr) InvalidateRect(hwnd_, nullptr, FALSE);
}

void SkinButton::DrawItem(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  const RECT r = item.rcItem;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  HBITMAP image = disabled ? disabled_ : pressed ? pressed_ : normal_;
  if (!disabled && image == nullptr) image = normal_;

  SetBkMode(dc, TRANSPARENT);
  if (image == nullptr) {
    FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
  } else {
    BITMAP info{};
    GetObjectW(image, sizeof info, &info);
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(source, image);
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (draw_mode_ == 0) {  // natural size, clipped to the face
      BitBlt(dc, r.left, r.top, info.bmWidth < width ? info.bmWidth : width,
             info.bmHeight < height ? info.bmHeight : height, source, 0, 0, SRCCOPY);
    } else {
      SetStretchBltMode(dc, HALFTONE);
      StretchBlt(dc, r.left, r.top, width, height, source, 0, 0, info.bmWidth, info.bmHeight,
                 SRCCOPY);
    }
    SelectObject(source, old);
    DeleteDC(source);
  }

  if (draw_edge_ != 0) {
    RECT edge = r;
    DrawEdge(dc, &edge, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  }

  const std::wstring caption = WindowText(item.hwndItem);
  if (!caption.empty()) {
    RECT text = r;
    text.left += inset_ + 2;
    text.right -= inset_ + 2;
    const UINT flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    if (disabled) {
      SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHT));
      DrawTextW(dc, caption.c_str(), -1, &text, flags);
      OffsetRect(&text, -1, -1);
      SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
      DrawTextW(dc, caption.c_str(), -1, &text, flags);
    } else {
      SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
      DrawTextW(dc, caption.c_str(), -1, &text, flags);
    }
  }
}

}  // namespace vexlor::ui
