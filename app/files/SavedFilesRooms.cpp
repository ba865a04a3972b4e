#include "app/files/SavedFilesRooms.h"

SavedFilesRooms &SavedFilesRooms::shared() {
  static SavedFilesRooms rooms;
  return rooms;
}
