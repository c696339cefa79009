#pragma once

#include "capture/Bitmap.h"
#include "capture/BitmapView.h"
#include "capture/PointerImage.h"
#include "capture/ScreenSource.h"

namespace tavelcast {

// Draws the current mouse pointer onto `bitmap`, whose pixel (0, 0) shows the display's
// pixel (left, top). A hidden pointer, or one that cannot be had, draws nothing: that is
// not a failure.
void DrawCursor(ScreenSource& source, Bitmap& bitmap, int left = 0, int top = 0);
void DrawCursor(ScreenSource& source, const BitmapView& bitmap, int left = 0, int top = 0);

// Blends `pointer` (premultiplied ARGB) onto `bitmap` so that its hot spot lands on the
// pointer's position, less (left, top). Parts that fall outside the bitmap are clipped;
// the pointer is never moved to fit.
void BlendPointer(const PointerImage& pointer, Bitmap& bitmap, int left = 0, int top = 0);
void BlendPointer(const PointerImage& pointer, const BitmapView& bitmap, int left = 0, int top = 0);

} // namespace tavelcast
