// Windows: paths stay UTF-16 from wmain to the open. A communications port
// is set raw for the run; its reads return what has arrived. Ctrl+C,
// Ctrl+Break or closing the console cancels a read that waits, on a port or
// any other input, so that the run ends through the same path as any other,
// every byte read written and the port given back once.
#include "native.h"

#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>

namespace {

// A read waits for its bytes with no total time-out, so that a quiet line
// costs nothing. The interval time-out counts only from a first byte and so
// changes nothing for the reads made here, but Wine serves only a read that
// has one as a request that CancelIo ends. Any value but none (0) and
// "return at once" (MAXDWORD) will do.
const DWORD INTERVAL_MS = 20;

enum run_state : LONG { RUNNING, STOPPING, FINISHED };

// The port and its own settings, and how the run stands. The console
// handler gives the port back only on a second event: the reading thread
// does so, once, from release_line.
struct held_port {
    HANDLE handle; // opened by open_port; INVALID_HANDLE_VALUE when the input is no port
    DCB state;
    COMMTIMEOUTS timeouts;
    HANDLE arrived;       // an overlapped read has completed
    volatile LONG run;    // a run_state
    HANDLE stop;          // set by Ctrl+C: the pending read is cancelled
    DWORD read_error;     // why the last read failed
    HANDLE reader;        // the thread that reads any other input
    volatile LONG in_read; // it waits in a read of that input
};
held_port port = {INVALID_HANDLE_VALUE, {}, {}, nullptr, RUNNING, nullptr, ERROR_SUCCESS, nullptr, 0};

// The name Windows opens for `path`: COM5, COM5:, //./COM5 and, where
// Windows still maps them, COM5.txt or C:\any\COM5 all become \\.\COM5.
std::wstring full_name(const wchar_t* path)
{
    DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    std::wstring name(size, L'\0');
    DWORD length = size ? GetFullPathNameW(path, size, &name[0], nullptr) : 0;
    name.resize(length < size ? length : 0);
    return name;
}

bool device_namespace(const std::wstring& name)
{
    return name.compare(0, 4, L"\\\\.\\") == 0 || name.compare(0, 4, L"\\\\?\\") == 0;
}

// Whether a full name is a plain name in the device namespace (\\.\COM10,
// \\?\COM10); not \\.\pipe\name, whose server would see a client come and go.
bool device_name(const std::wstring& name)
{
    return device_namespace(name) && name.size() > 4 && name.find_first_of(L"\\/", 4) == std::wstring::npos;
}

bool pipe_name(const std::wstring& name)
{
    return device_namespace(name) && name.size() >= 9 &&
           CompareStringOrdinal(name.c_str() + 4, 5, L"pipe\\", 5, TRUE) == CSTR_EQUAL;
}

// Whether two device names are one device: the same name in any case, or two
// names the system maps to one device (\Device\Serial4). Neither is opened.
bool same_device(const std::wstring& a, const std::wstring& b)
{
    const wchar_t* x = a.c_str() + 4;
    const wchar_t* y = b.c_str() + 4;
    if (CompareStringOrdinal(x, -1, y, -1, TRUE) == CSTR_EQUAL)
        return true;
    wchar_t p[MAX_PATH], q[MAX_PATH];
    return QueryDosDeviceW(x, p, MAX_PATH) && QueryDosDeviceW(y, q, MAX_PATH) &&
           CompareStringOrdinal(p, -1, q, -1, TRUE) == CSTR_EQUAL;
}

// A communications port, by whatever name, opens for overlapped reads, so
// that Ctrl+C can end a read that waits on a quiet line: a synchronous read
// holds up every other call on the port, and Wine cannot cancel one. Null
// with `*held` unset if `path` names no port.
std::FILE* open_port(const wchar_t* path, bool* held)
{
    std::wstring name = full_name(path);
    if (!device_name(name))
        return nullptr;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Windows lets one program at a time open a port.
        *held = GetLastError() == ERROR_ACCESS_DENIED;
        return nullptr;
    }
    DCB state{};
    state.DCBlength = sizeof state;
    int fd = GetCommState(h, &state) ? _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY) : -1;
    if (fd < 0) {
        CloseHandle(h); // a device, but no port (NUL, CON)
        return nullptr;
    }
    std::FILE* in = _fdopen(fd, "rb");
    if (!in)
        _close(fd);
    else
        port.handle = h;
    return in;
}

} // namespace

// The runtime keeps descriptors 0, 1 and 2 for the standard streams even
// when the caller closed them, so no file the run opens takes their place.
void hold_standard_streams() {}

std::FILE* open_input(const wchar_t* path, bool* held)
{
    *held = false;
    std::FILE* in = open_port(path, held);
    return in || *held ? in : _wfopen(path, L"rb");
}

std::FILE* open_output(const wchar_t* path)
{
    return _wfopen(path, L"wb");
}

std::string printable(const wchar_t* arg)
{
    int size = WideCharToMultiByte(CP_ACP, 0, arg, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, arg, -1, &text[0], size, nullptr, nullptr);
    text.pop_back(); // the terminating NUL
    return text;
}

namespace {

// Two names of one file agree on its creation time, which is cheap to read;
// the volume serial number and file ID that decide cost far more, so they are
// read only when the creation times match. File IDs are 128 bits on ReFS;
// before Windows 8 only the 64-bit file index can be had.
bool same_open_file(HANDLE a, HANDLE b)
{
    FILE_BASIC_INFO x, y;
    if (!GetFileInformationByHandleEx(a, FileBasicInfo, &x, sizeof x) ||
        !GetFileInformationByHandleEx(b, FileBasicInfo, &y, sizeof y) ||
        x.CreationTime.QuadPart != y.CreationTime.QuadPart)
        return false;
    FILE_ID_INFO p, q;
    if (GetFileInformationByHandleEx(a, FileIdInfo, &p, sizeof p) &&
        GetFileInformationByHandleEx(b, FileIdInfo, &q, sizeof q))
        return p.VolumeSerialNumber == q.VolumeSerialNumber &&
               std::memcmp(&p.FileId, &q.FileId, sizeof p.FileId) == 0;
    BY_HANDLE_FILE_INFORMATION r, t;
    return GetFileInformationByHandle(a, &r) && GetFileInformationByHandle(b, &t) &&
           r.dwVolumeSerialNumber == t.dwVolumeSerialNumber && r.nFileIndexHigh == t.nFileIndexHigh &&
           r.nFileIndexLow == t.nFileIndexLow;
}

HANDLE handle_of(std::FILE* f)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
}

void restore_port()
{
    SetCommState(port.handle, &port.state);
    SetCommTimeouts(port.handle, &port.timeouts);
}

// One overlapped read: its bytes, or -1. A read done at once counts its
// bytes there; one that waits ends with its bytes or with Ctrl+C, which
// cancels it, keeping what it had taken.
std::ptrdiff_t read_port(unsigned char* buf, DWORD n)
{
    OVERLAPPED request{};
    request.hEvent = port.arrived;
    DWORD got = 0;
    if (!ReadFile(port.handle, buf, n, &got, &request)) {
        port.read_error = GetLastError();
        if (port.read_error != ERROR_IO_PENDING)
            return -1;
        HANDLE wake[] = {port.arrived, port.stop};
        if (WaitForMultipleObjects(2, wake, FALSE, INFINITE) != WAIT_OBJECT_0)
            CancelIo(port.handle);
        if (!GetOverlappedResult(port.handle, &request, &got, TRUE)) {
            port.read_error = GetLastError();
            if (port.read_error != ERROR_OPERATION_ABORTED)
                return -1;
        }
    }
    return got;
}

// The errors a port's reads fail with once it is gone (a USB adapter
// unplugged), by driver, or once its other end has closed (a virtual port,
// a pipe behind one): a hang-up. Any other is a read error.
bool port_gone(DWORD error)
{
    const DWORD gone[] = {ERROR_ACCESS_DENIED,  ERROR_BAD_COMMAND,    ERROR_GEN_FAILURE,
                          ERROR_DEV_NOT_EXIST,  ERROR_DEVICE_REMOVED, ERROR_DEVICE_NOT_CONNECTED,
                          ERROR_BROKEN_PIPE};
    return std::find(std::begin(gone), std::end(gone), error) != std::end(gone);
}

// A read of an input that is no port, waiting when Ctrl+C came, holds no
// byte that is not written yet: it is cancelled, or where it cannot be (a
// FIFO under Wine) the run ends here unless it returns meanwhile.
void end_read_that_waits()
{
    for (int tries = 0; tries < 10 && port.in_read; ++tries) {
        if (CancelSynchronousIo(port.reader))
            return;
        Sleep(10);
    }
    if (port.in_read)
        TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
}

// Ctrl+C, Ctrl+Break, the console closed: the reading thread's read is
// cancelled, it writes what it read, gives the port back and ends the
// process. A second event (Ctrl+C again, the window closed) means the user
// will not wait for a slow output to drain: the port is given back here and
// the run ends at once, so the process never ends with the port still raw.
BOOL WINAPI on_console_event(DWORD event)
{
    LONG was = InterlockedCompareExchange(&port.run, STOPPING, RUNNING);
    if (was == FINISHED)
        return FALSE;
    if (was == STOPPING) {
        if (port.handle != INVALID_HANDLE_VALUE)
            restore_port();
        // Not ExitProcess: its clean-up would wait for the stream that a
        // stuck write holds.
        TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    }
    if (port.handle != INVALID_HANDLE_VALUE)
        SetEvent(port.stop);
    else
        end_read_that_waits();
    // Handled, so that the next Ctrl+C comes here again. A closed console
    // ends the process as soon as its handlers return: this one waits for
    // end_if_interrupted.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    Sleep(INFINITE);
    return FALSE;
}

} // namespace

bool same_file(std::FILE* in, const wchar_t* in_path, const wchar_t* out_path)
{
    // A port, a pipe or another device is compared by its name, never
    // opened: a second open toggles a port's DTR (and resets boards of the
    // Arduino kind), and a pipe's server would see a client come and go.
    std::wstring out = full_name(out_path);
    if (device_name(out) || pipe_name(out))
        return port.handle != INVALID_HANDLE_VALUE && device_name(out) && same_device(full_name(in_path), out);
    HANDLE file = handle_of(in);
    if (GetFileType(file) != FILE_TYPE_DISK)
        return false;
    // Opened for no access at all: only to learn which file the path names.
    HANDLE other = CreateFileW(out_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    bool same = same_open_file(file, other);
    CloseHandle(other);
    return same;
}

// Standard output as `>> f` opened it may not read attributes: only the
// file ID, which needs no access, tells.
bool stdout_is_input(std::FILE* in, const wchar_t*)
{
    if (!in)
        return false;
    HANDLE file = handle_of(in);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    FILE_ID_INFO p, q;
    return out && out != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK &&
           GetFileType(out) == FILE_TYPE_DISK && GetFileInformationByHandleEx(file, FileIdInfo, &p, sizeof p) &&
           GetFileInformationByHandleEx(out, FileIdInfo, &q, sizeof q) &&
           p.VolumeSerialNumber == q.VolumeSerialNumber && std::memcmp(&p.FileId, &q.FileId, sizeof p.FileId) == 0;
}

// Only a port that open_port opened for overlapped reads is one. Ctrl+C is
// handled whatever the input: a read of any other waits in this thread.
bool take_line(std::FILE*, const wchar_t*)
{
    HANDLE h = port.handle;
    if (h == INVALID_HANDLE_VALUE) {
        HANDLE self = GetCurrentProcess();
        if (!DuplicateHandle(self, GetCurrentThread(), self, &port.reader, 0, FALSE, DUPLICATE_SAME_ACCESS))
            return false;
        SetConsoleCtrlHandler(on_console_event, TRUE);
        return true;
    }
    DCB state{};
    state.DCBlength = sizeof state;
    COMMTIMEOUTS timeouts;
    if (!GetCommState(h, &state) || !GetCommTimeouts(h, &timeouts))
        return false;
    port.state = state;
    port.timeouts = timeouts;
    port.arrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    port.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!port.arrived || !port.stop)
        return false;
    SetConsoleCtrlHandler(on_console_event, TRUE);

    // Received XON and XOFF are data, not flow control; NUL bytes and bytes
    // with errors pass as they came, and an error does not stop the reads.
    // Speed, byte size, parity, stop bits and handshake lines stay as set.
    DCB raw = state;
    raw.fBinary = TRUE;
    raw.fOutX = FALSE;
    raw.fNull = FALSE;
    raw.fErrorChar = FALSE;
    raw.fAbortOnError = FALSE;
    COMMTIMEOUTS wait{};
    wait.ReadIntervalTimeout = INTERVAL_MS;
    if (SetCommState(h, &raw) && SetCommTimeouts(h, &wait))
        return true;
    restore_port();
    return false;
}

std::ptrdiff_t read_input(void* source, unsigned char* buf, std::size_t n)
{
    if (port.handle == INVALID_HANDLE_VALUE) {
        InterlockedExchange(&port.in_read, 1);
        int got = port.run == RUNNING ? _read(_fileno(static_cast<std::FILE*>(source)), buf, static_cast<unsigned>(n)) : 0;
        InterlockedExchange(&port.in_read, 0);
        // Ctrl+C ends the input; a read it cancelled took nothing.
        return got < 0 && port.run != RUNNING ? 0 : got;
    }
    // Wait for one byte, then take all that has arrived with it: those
    // bytes are there, so a read of that many returns at once.
    std::ptrdiff_t got = 0;
    while (got == 0 && port.run == RUNNING)
        got = read_port(buf, 1);
    DWORD errors;
    COMSTAT queue;
    if (got <= 0 || !ClearCommError(port.handle, &errors, &queue) || queue.cbInQue == 0)
        return got; // 0: Ctrl+C, the end of this run's input
    DWORD more = static_cast<DWORD>(std::min<std::size_t>(queue.cbInQue, n - 1));
    std::ptrdiff_t rest = more ? read_port(buf + 1, more) : 0;
    // The byte already read is kept; the next read meets the failure again.
    return rest < 0 ? 1 : 1 + rest;
}

span_status release_line(std::FILE*, span_status status)
{
    if (port.handle != INVALID_HANDLE_VALUE)
        restore_port();
    // A run that Ctrl+C stopped stays STOPPING, so that further events wait
    // for end_if_interrupted too.
    if (InterlockedCompareExchange(&port.run, FINISHED, RUNNING) == RUNNING)
        SetConsoleCtrlHandler(on_console_event, FALSE);
    // A port that is gone has reached the end of its input.
    return status == SPANS_READ_FAILED && port_gone(port.read_error) ? SPANS_COPIED : status;
}

bool write_output(void* out, const unsigned char* buf, std::size_t n)
{
    return std::fwrite(buf, 1, n, static_cast<std::FILE*>(out)) == n;
}

void end_if_interrupted()
{
    // Ended as the default handler ends a console program.
    if (port.run == STOPPING)
        ExitProcess(STATUS_CONTROL_C_EXIT);
}
