// Hints where operators guess wrong about file names: names are matched
// exactly, letter case included, and update files are taken from the
// current folder.  Each prints at most one "hint: " line on standard error;
// standard output is left as it is.
#pragma once

#include <string>

// The name of a file in the folder of `fileName` that differs from it only
// in letter case, or empty.
std::string caseVariantOf(const std::string& fileName);

// After "File NAME doesn't exist.": a file of that name in another letter
// case.
void hintForMissingFile(const char* fileName);

// After a "Bad device file" refusal of VIPER and VERIFY: a device file named
// with a folder in front of it, or in another letter case.
void hintForBadDeviceFile(const char* fileName);
