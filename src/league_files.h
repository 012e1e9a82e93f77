// The small files the sysop's side of the league reads and replaces whole,
// and the bits of text it compares and prints.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

// Reads a whole small file through the sticky-folder rule: 0, or -1 with
// errno (EFBIG when it holds more than Most bytes).
int ReadSmall(const char* Path, size_t Most, std::string* Out);

// The same for a name in the open folder Dir, never through a link; a FIFO,
// a device or a folder under the name is refused (EINVAL).
int ReadSmallAt(int Dir, const std::string& Name, size_t Most, std::string* Out);

// Writes Data as a new file beside Path and renames it over Path, so that a
// reader finds the old content or the new, whole.
bool ReplaceWhole(const std::string& Path, const std::string& Data);

// The same for a name in the open folder Dir.
bool ReplaceWholeAt(int Dir, const std::string& Name, const std::string& Data);

// ASCII letters made small: FTN names and passwords are told apart without case.
std::string Lower(std::string Text);

// "2026-12-10 11:30:00 UTC", or "?".
std::string Stamp(time_t When);
