// Window-system handles as the GUI classes pass them around, without the system's headers.
// The types are the very ones the system's headers declare (strict handle types), so values
// pass between them without casts.
#pragma once

#include <cstdint>

struct HWND__;
struct HBITMAP__;
struct HBRUSH__;
struct HDC__;
struct HICON__;

namespace gui {

using WindowHandle = HWND__*;
using BitmapHandle = HBITMAP__*;
using BrushHandle = HBRUSH__*;
using DeviceContextHandle = HDC__*;
using IconHandle = HICON__*;

// Message parameters and results, as wide as a pointer.
using MessageWord = uintptr_t;  // wParam
using MessageLong = intptr_t;   // lParam
using MessageResult = intptr_t;

// A colour as red, green and blue bytes in the system's layout (0x00BBGGRR).
using Colour = uint32_t;
constexpr Colour MakeColour(uint8_t u8Red, uint8_t u8Green, uint8_t u8Blue) {
  return static_cast<Colour>(u8Red) | (static_cast<Colour>(u8Green) << 8) |
         (static_cast<Colour>(u8Blue) << 16);
}

}  // namespace gui
