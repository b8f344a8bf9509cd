#ifndef XONSPAN_NATIVE_H
#define XONSPAN_NATIVE_H

// The one place where the front end differs between platforms: how paths
// reach it, how it opens and compares files, and how it holds a serial line.
// Windows holds file names in UTF-16, and the narrow arguments its runtime
// makes turn every character outside the ANSI code page into '?'. So there
// the paths stay wide from the entry point (wmain, linked with -municode) to
// the open (_wfopen). Elsewhere paths are bytes and pass through unchanged.

#include <xonspan/span_filter.h>

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

// Binary mode. A serial line that another reader holds does not open: the two
// would split its bytes between them.
std::FILE* open_input(const native_char* path);
std::FILE* open_output(const native_char* path);

// An argument as text for printf: on Windows in the ANSI code page, as the
// narrow runtime would have shown it.
std::string printable(const native_char* arg);

// Whether `in` is a regular file that `out_path` names too, by any spelling or link.
bool same_file(std::FILE* in, const native_char* out_path);

// When `in` is a serial line or a terminal, sets it up for this run: raw
// 8-bit bytes, none taken as flow control, line editing or a signal, and
// each read returning what has arrived. Its own settings come back with
// release_line, or when a signal or a console event ends the run. False if
// the line cannot be set up; any other input is left as it is.
bool take_line(std::FILE* in);

// Puts the line's settings back, and returns how the run ended: a line that
// hung up (an adapter unplugged, the other end closed) has reached the end of
// its input. Call it straight after the filter returns.
span_status release_line(std::FILE* in, span_status status);

#endif
