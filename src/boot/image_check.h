// Checks of the boot-mode programming's files before anything is sent to the
// card.  The boot program erases the flash as soon as the micro kernel is
// in, so a file found missing or bad at its stage would leave the card
// without firmware; and the flash write places the image's data in file
// order, so an image that would land in the wrong places, or a corrupt one,
// must be refused whole.
#pragma once

// True when the image at `path` can be written as it stands.  Otherwise
// prints a message naming the line and the problem, and returns false.
bool checkMicroImageFile(const char* path);

// True when the three kernels (uGen7144.cde, Genm7144.cde, Genw7144.cde:
// present, 1 to 4000 bytes) and appMain.mot in the current directory can all
// be sent as they stand.  Otherwise prints one line for each bad file,
// naming it and the problem, and returns false.
bool checkMicroFiles();
