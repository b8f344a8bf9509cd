#include "native.h"

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

#include <cstring>

std::FILE* open_input(const wchar_t* path)
{
    // Windows lets one program at a time open a communications port.
    return _wfopen(path, L"rb");
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

// A read returns once the line has been quiet this long after a byte.
const DWORD QUIET_MS = 5;

// The port's own settings, for the console handler too, which can be given
// nothing else. Written once, before the handler is installed.
struct saved_port {
    HANDLE handle;
    DCB state;
    COMMTIMEOUTS timeouts;
};
saved_port port = {INVALID_HANDLE_VALUE, {}, {}};

void restore_port()
{
    SetCommState(port.handle, &port.state);
    SetCommTimeouts(port.handle, &port.timeouts);
}

// Ctrl+C, Ctrl+Break, the console closed: the port gets its settings back,
// then the default handler ends the process as before.
BOOL WINAPI on_console_event(DWORD)
{
    restore_port();
    return FALSE;
}

} // namespace

bool same_file(std::FILE* in, const wchar_t* out_path)
{
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

bool take_line(std::FILE* in)
{
    HANDLE h = handle_of(in);
    DCB state{};
    state.DCBlength = sizeof state;
    COMMTIMEOUTS timeouts;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &state) || !GetCommTimeouts(h, &timeouts))
        return true;
    port = {h, state, timeouts};
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
    // No total time-out: a read waits for its first byte without limit, so
    // it never returns 0 bytes, which would read as the end of the input.
    COMMTIMEOUTS quiet{};
    quiet.ReadIntervalTimeout = QUIET_MS;
    if (SetCommState(h, &raw) && SetCommTimeouts(h, &quiet))
        return true;
    restore_port();
    return false;
}

span_status release_line(std::FILE* in, span_status status)
{
    if (port.handle != handle_of(in))
        return status;
    restore_port();
    // A port fails its reads once it is gone (a USB adapter unplugged).
    return status == SPANS_READ_FAILED ? SPANS_COPIED : status;
}

#else

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

// A 32-bit off_t or ino_t would fail files past 2 GiB and make the same-file
// check miss on file systems with inode numbers past 2^32.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

std::FILE* open_fd(const char* path, int flags, const char* mode)
{
    int fd = open(path, flags | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return f;
}

// The line's own settings, for the signal handlers too, which can be given
// nothing else. Written once, before the handlers are installed.
struct saved_line {
    int fd;
    termios settings;
};
saved_line line = {-1, {}};

void restore_line()
{
    tcsetattr(line.fd, TCSANOW, &line.settings);
    ioctl(line.fd, TIOCNXCL);
}

// Only async-signal-safe calls here. SA_RESETHAND has put back the default
// action, so the signal then ends the process as it would have.
void restore_and_reraise(int sig)
{
    restore_line();
    raise(sig);
}

void on_signals_restore_line()
{
    struct sigaction action = {};
    action.sa_handler = restore_and_reraise;
    action.sa_flags = SA_RESETHAND;
    sigfillset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction old;
        // A signal the caller ignores stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

} // namespace

std::FILE* open_input(const char* path)
{
    // A device opens without waiting for a modem's carrier, and a terminal
    // never becomes the controlling terminal of the tool.
    struct stat st;
    bool device = stat(path, &st) == 0 && S_ISCHR(st.st_mode);
    std::FILE* in = open_fd(path, O_RDONLY | (device ? O_NONBLOCK : 0), "rb");
    if (!in || !device)
        return in;
    int fd = fileno(in);
    int flags = fcntl(fd, F_GETFL);
    // One reader at a time: an advisory lock that serial programs honour.
    bool held = isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || held) {
        std::fclose(in);
        return nullptr;
    }
    return in;
}

std::FILE* open_output(const char* path)
{
    return open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, "wb");
}

std::string printable(const char* arg)
{
    return arg;
}

bool same_file(std::FILE* in, const char* out_path)
{
    struct stat a, b;
    return fstat(fileno(in), &a) == 0 && S_ISREG(a.st_mode) && stat(out_path, &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool take_line(std::FILE* in)
{
    int fd = fileno(in);
    termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return true;
    line = {fd, settings};
    on_signals_restore_line();
    // Exclusive mode refuses other opens of the line, beyond the lock, until
    // the run ends; not every system has it.
    ioctl(fd, TIOCEXCL);

    termios raw = settings;
    // No flow control on received bytes, no translation of CR, LF or case,
    // no stripping to 7 bits, no parity marks, no break as a signal.
    raw.c_iflag &= ~tcflag_t(IXON | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT);
#ifdef IUCLC
    raw.c_iflag &= ~tcflag_t(IUCLC);
#endif
    // No line editing or echo. The terminal the tool was started from keeps
    // its signal characters, so that Ctrl+C still stops the run there.
    bool own_terminal = tcgetpgrp(fd) != -1; // fails for any terminal but the tool's own
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHONL | IEXTEN | (own_terminal ? 0 : ISIG));
    raw.c_cflag |= CREAD;
    // A read returns as soon as one byte is there.
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &raw) == 0)
        return true;
    restore_line();
    return false;
}

span_status release_line(std::FILE* in, span_status status)
{
    if (line.fd != fileno(in))
        return status;
    // A terminal that hung up fails its reads with EIO (a pseudo-terminal
    // whose other end closed) or ends them (an adapter unplugged).
    bool hung_up = status == SPANS_READ_FAILED && errno == EIO;
    restore_line();
    return hung_up ? SPANS_COPIED : status;
}

#endif
