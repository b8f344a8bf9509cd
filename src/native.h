#ifndef XONSPAN_NATIVE_H
#define XONSPAN_NATIVE_H

// The one place where the front end differs between platforms: how paths
// reach it, how it opens and compares files, and how it holds a serial line.
// Windows holds file names in UTF-16, and the narrow arguments its runtime
// makes turn every character outside the ANSI code page into '?'. So there
// the paths stay wide from the entry point (wmain, linked with -municode) to
// the open (_wfopen). Elsewhere paths are bytes and pass through unchanged.

#include <xonspan/span_filter.h>

#include <cstddef>
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

// Standard input, output or error that the caller closed is opened on the
// null device, so that no file the run opens takes its number (out_file as
// descriptor 1 would be given the messages). Call it first.
void hold_standard_streams();

// Binary mode. A serial line that another reader holds does not open, since
// the two would split its bytes between them: then `*held` is set. A name
// for one of the caller's descriptors (/dev/stdin) reads what it holds, as
// the caller left it.
std::FILE* open_input(const native_char* path, bool* held);
// Created or truncated; but a name for a descriptor the tool was given
// (/dev/stdout, /dev/fd/N) is written through that descriptor, at its offset
// and in its mode, so that `>> log` appends.
std::FILE* open_output(const native_char* path);

// An argument as text for printf: on Windows in the ANSI code page, as the
// narrow runtime would have shown it.
std::string printable(const native_char* arg);

// Whether `in` (opened from `in_path`) and `out_path` name one file, FIFO,
// block device, terminal or port, by any spelling or link: writing would then
// feed or overwrite what is being read, or send the payload back to the
// device. out_path is never opened for it.
bool same_file(std::FILE* in, const native_char* in_path, const native_char* out_path);

// Whether standard output is in_file itself (`>> capture`), opened as `in`
// or, where it did not open, named `in_path`: a message there would change
// what the run was given.
bool stdout_is_input(std::FILE* in, const native_char* in_path);

// Sets the input `path` up for this run. A serial line or a terminal gets
// raw 8-bit bytes, none taken as flow control, line editing or a signal, and
// its own settings back from release_line, however the run ends. False if
// the line cannot be set up; any other input is left as it is.
bool take_line(std::FILE* in, const native_char* path);

// One read of the input (a span_reader): as soon as at least one byte has
// arrived, all that has; 0 at the end of the input, or when the run is to
// end (Ctrl+C, a signal), -1 on an error.
std::ptrdiff_t read_input(void* in, unsigned char* buf, std::size_t n);

// One write of all `n` bytes to `out` (a span_writer): a write that a slow
// output holds up is finished even when the run is to end, so that every
// byte read is written; false on an error.
bool write_output(void* out, const unsigned char* buf, std::size_t n);

// Puts the line's settings back, and returns how the run ended: a line that
// hung up (an adapter unplugged, the other end closed) has reached the end of
// its input. Call it straight after the filter returns; from then on Ctrl+C
// or a signal ends the run at once.
span_status release_line(std::FILE* in, span_status status);

// A run that Ctrl+C or a signal ended ends here, as it would have without the
// tool's handling; returns if none did. Call it once every byte read is in
// out_file and out_file is closed: a run whose output failed reports that
// instead.
void end_if_interrupted();

#endif
