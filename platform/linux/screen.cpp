// The screen record: placing the cursor.
#include "platform/linux/screen.h"

namespace platform {

bool ScreenSetCursor(Screen* screen, int column, int row) {
  if (!CellOnGrid(column, row)) return false;
  screen->cursorColumn = column;
  screen->cursorRow = row;
  return true;
}

}  // namespace platform
