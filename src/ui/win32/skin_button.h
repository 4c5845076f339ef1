// A push button that paints itself from bitmaps instead of the system's button face.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vexlor::ui {

// The dialog has one, disabled, over its top-left 400 x 200 pixels: it shows the background
// picture, never takes input or focus, and never lets its background be erased first.
class SkinButton {
 public:
  SkinButton() = default;
  ~SkinButton();  // releases the bitmaps
  SkinButton(const SkinButton&) = delete;
  SkinButton& operator=(const SkinButton&) = delete;

  // Binds the dialog's control `id` to this object: the control becomes owner-drawn (button
  // style 11), so that every paint request reaches DrawItem through the dialog, and its
  // background is never erased. False when there is no such control.
  bool SubclassDlgItem(int id, HWND dialog);

  // Bitmap resource numbers (0: none) of the states, a focus image and a mask (kept, not
  // painted: the dialog's button needs neither), and the options: mode 0 paints an image at its
  // natural size at the top-left corner (any other mode stretches it over the face), a non-zero
  // edge draws a raised edge round the face, inset narrows the caption rectangle. Images
  // loaded earlier are released first.
  void SetBitmaps(int normal_id, int pressed_id, int hover_id, int disabled_id, int focus_id,
                  int mask_id, int mode, int edge, int inset);

  // WM_DRAWITEM, passed on by the dialog.
  void DrawItem(const DRAWITEMSTRUCT& item);

  HWND hwnd() const { return hwnd_; }
  HBITMAP disabled_image() const { return disabled_; }

 private:
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                       UINT_PTR id, DWORD_PTR self);
  void PreSubclassWindow();
  void ReleaseBitmaps();
  HBITMAP Load(int id) const;

  HWND hwnd_ = nullptr;
  HBITMAP normal_ = nullptr, pressed_ = nullptr, hover_ = nullptr, disabled_ = nullptr;
  HBITMAP focus_ = nullptr, mask_ = nullptr;
  int16_t draw_mode_ = 1;
  int32_t draw_edge_ = 0;
  int16_t inset_ = 0;
};

}  // namespace vexlor::ui
