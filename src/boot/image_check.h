// Check of an appMain.mot image before anything is sent to the card: the
// boot-mode flash write places data in file order, so an image that would
// land in the wrong places, or a corrupt one, must be refused whole.
#pragma once

// True when the image at `path` can be written as it stands.  Otherwise
// prints a message naming the line and the problem, and returns false.
bool checkMicroImageFile(const char* path);
