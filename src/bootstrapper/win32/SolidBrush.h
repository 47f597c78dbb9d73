// A solid brush that the object owns and deletes.
#pragma once

#include "bootstrapper/win32/GuiTypes.h"

namespace gui {

class CSolidBrush {
 public:
  CSolidBrush() = default;
  ~CSolidBrush();
  CSolidBrush(const CSolidBrush&) = delete;
  CSolidBrush& operator=(const CSolidBrush&) = delete;

  // Replaces any brush held before; false when the system has no brush to give.
  bool CreateSolidBrush(Colour colour);
  BrushHandle Handle() const { return m_hBrush; }

 private:
  BrushHandle m_hBrush = nullptr;
};

}  // namespace gui
