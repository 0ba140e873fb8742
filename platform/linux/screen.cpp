// The screen record: clearing and placing the cursor.
#include "platform/linux/screen.h"

namespace platform {

void ScreenClear(Screen* screen) {
  GridFill(&screen->grid, ' ');
  screen->cursorColumn = 0;
  screen->cursorRow = 0;
}

bool ScreenSetCursor(Screen* screen, int column, int row) {
  if (!CellOnGrid(column, row)) return false;
  screen->cursorColumn = column;
  screen->cursorRow = row;
  return true;
}

}  // namespace platform
