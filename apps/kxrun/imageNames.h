#ifndef KXRUN_IMAGENAMES_H
#define KXRUN_IMAGENAMES_H

#include <string>
#include <vector>

// The file stems kxrun writes its windows' images under (DIR/<stem>_f<frame>.png), one per
// window name in window order. A stem is a single file name inside DIR whatever the window is
// called: letters, digits, '-', '_' and whole UTF-8 characters are kept, every other byte
// (separators, dots, controls, broken UTF-8) becomes '_', it is at most MAX_STEM bytes, and an
// empty name becomes "window<index>". Stems are unique: a clash gets "-2", "-3", ... Each
// window whose stem is not its name (or "window<index>", unnamed) gets a note in notes.
// Threads: any.
std::vector<std::string> kxRunImageStems(const std::vector<std::string>& windowNames,
                                         std::vector<std::string>& notes);

// The text with bytes that a terminal would act on, and broken UTF-8, shown as \xNN.
std::string kxRunPrintable(const std::string& text);

#endif
