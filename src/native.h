#ifndef XONSPAN_NATIVE_H
#define XONSPAN_NATIVE_H

// The one place where the front end differs between platforms: how paths
// reach it and how it opens and compares files. Windows holds file names in
// UTF-16, and the narrow arguments its runtime makes turn every character
// outside the ANSI code page into '?'. So there the paths stay wide from the
// entry point (wmain, linked with -municode) to the open (_wfopen).
// Elsewhere paths are bytes and pass through unchanged.

#include <cstdio>
#include <string>

#ifdef _WIN32
using native_char = wchar_t;
#define NATIVE(text) L##text
#define native_main wmain
#else
using native_char = char;
#define NATIVE(text) text
#define native_main main
#endif

std::FILE* open_native(const native_char* path, const native_char* mode);

// An argument as text for printf: on Windows in the ANSI code page, as the
// narrow runtime would have shown it.
std::string printable(const native_char* arg);

// Whether `in` is a regular file that `out_path` names too, by any spelling or link.
bool same_file(std::FILE* in, const native_char* out_path);

#endif
