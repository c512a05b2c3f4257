// The 20 level images of the event list, 16 x 16, drawn in code, and the rule that picks one.
#pragma once

#include <QPixmap>
#include <vector>

// Index into the images for a Level value (LevelWord AND 0xFFFF) and a User value (the high half).
// Indexes past the list (27: level 128 with a user value) mean "draw nothing".
int LevelImageIndex(int Level, int User);
std::vector<QPixmap> DrawLevelImages();
