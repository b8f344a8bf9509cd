// Linked into a test build of the tool with the linker's --wrap: its input's
// reads, its output's writes or its output's close fail on cue, as a failing
// disk, a full volume or a network file system would, on every platform.
// XONSPAN_TEST_FAULT says which:
//   read:N   the input gives N bytes, then its next read fails (EIO; on
//            Windows a port's with ERROR_IO_DEVICE)
//   gone:N   a port gives N bytes, then fails as an unplugged one (Windows)
//   steal:N  the input gives N bytes; after that another reader takes what
//            has arrived just before each read, slowly, so that a signal
//            sent meanwhile comes before the read (POSIX)
//   crash:N  the input gives N bytes, then the next read faults for real
//            (SIGSEGV from the kernel, POSIX)
//   write:N  the output takes N bytes, then its writes fail
//   close    closing the output fails (the second fclose)
//   held     a port's open is refused: another program holds it (Windows)
// With none, a port (Windows) is as another program left it: fNull on, and
// while fNull is on its received NUL bytes are discarded, as documented.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

// How many bytes the fault named `kind` lets through; -1 if it is not the one asked for.
long long allowance(const char* kind)
{
    const char* fault = std::getenv("XONSPAN_TEST_FAULT");
    std::size_t n = std::strlen(kind);
    if (!fault || std::strncmp(fault, kind, n) != 0)
        return -1;
    return fault[n] == ':' ? std::atoll(fault + n + 1) : 0;
}

long long bytes_read = 0;
long long bytes_written = 0;
int closes = 0;

// Trims a read or write of `want` bytes to what the fault allows: -1 if none is left.
long long allowed(const char* kind, long long done, long long want)
{
    long long limit = allowance(kind);
    if (limit < 0)
        return want;
    return done >= limit ? -1 : std::min(want, limit - done);
}

} // namespace

#ifndef _WIN32
extern "C" ssize_t __real_read(int fd, void* buf, std::size_t n);
extern "C" ssize_t __real_recv(int fd, void* buf, std::size_t n, int flags);

namespace {

// A read or a socket's receive, as `receive` makes it.
template <typename Receive>
ssize_t failing_receive(int fd, void* buf, std::size_t n, Receive receive)
{
    long long allow = allowed("read", bytes_read, static_cast<long long>(n));
    if (allow < 0) {
        errno = EIO;
        return -1;
    }
    long long crash_after = allowance("crash");
    if (crash_after >= 0 && bytes_read >= crash_after) {
        int* volatile nowhere = nullptr;
        *nowhere = 0;
    }
    if (crash_after >= 0)
        allow = std::min(allow, crash_after - bytes_read);
    long long steal_after = allowance("steal");
    int queued = 0;
    if (steal_after >= 0 && bytes_read >= steal_after && ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) {
        char taken[4096];
        __real_read(fd, taken, std::min<std::size_t>(sizeof taken, static_cast<std::size_t>(queued)));
        timespec slowly = {0, 300 * 1000 * 1000};
        nanosleep(&slowly, nullptr); // a signal ends it early
    }
    ssize_t got = receive(buf, static_cast<std::size_t>(allow));
    bytes_read += got > 0 ? got : 0;
    return got;
}

} // namespace
#endif

extern "C" {

#ifdef _WIN32
std::size_t __real_fwrite(const void* buf, std::size_t size, std::size_t count, std::FILE* f);
std::size_t __wrap_fwrite(const void* buf, std::size_t size, std::size_t count, std::FILE* f)
{
    long long n = allowed("write", bytes_written, static_cast<long long>(size * count));
    std::size_t wrote = n > 0 ? __real_fwrite(buf, 1, static_cast<std::size_t>(n), f) : 0;
    bytes_written += static_cast<long long>(wrote);
    if (wrote < size * count)
        errno = ENOSPC;
    return size ? wrote / size : 0;
}
#else
ssize_t __real_write(int fd, const void* buf, std::size_t n);
ssize_t __wrap_write(int fd, const void* buf, std::size_t n)
{
    long long allow = allowed("write", bytes_written, static_cast<long long>(n));
    if (allow < 0) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t put = __real_write(fd, buf, static_cast<std::size_t>(allow));
    bytes_written += put > 0 ? put : 0;
    return put;
}
#endif

int __real_fclose(std::FILE* f);
int __wrap_fclose(std::FILE* f)
{
    int status = __real_fclose(f);
    if (++closes == 2 && allowance("close") == 0) {
        errno = EIO;
        return EOF;
    }
    return status;
}

#ifdef _WIN32
// Called through their import pointers, so the pointers are what is wrapped.
using read_fn = int (*)(int, void*, unsigned);
extern read_fn __real___imp__read;
int failing_read(int fd, void* buf, unsigned n)
{
    long long allow = allowed("read", bytes_read, n);
    if (allow < 0) {
        errno = EIO;
        return -1;
    }
    int got = __real___imp__read(fd, buf, static_cast<unsigned>(allow));
    bytes_read += got > 0 ? got : 0;
    return got;
}
read_fn __wrap___imp__read = failing_read;

using create_file_fn = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
extern create_file_fn __real___imp_CreateFileW;
HANDLE WINAPI held_port(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD how,
                        DWORD flags, HANDLE model)
{
    if (allowance("held") == 0 && (std::wcsncmp(path, L"\\\\.\\", 4) == 0 || std::wcsncmp(path, L"\\\\?\\", 4) == 0)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return __real___imp_CreateFileW(path, access, share, security, how, flags, model);
}
create_file_fn __wrap___imp_CreateFileW = held_port;

using comm_state_fn = BOOL(WINAPI*)(HANDLE, LPDCB);
bool discard_nul = false;
extern comm_state_fn __real___imp_GetCommState;
BOOL WINAPI left_with_fnull(HANDLE h, LPDCB state)
{
    BOOL done = __real___imp_GetCommState(h, state);
    state->fNull = TRUE;
    return done;
}
comm_state_fn __wrap___imp_GetCommState = left_with_fnull;

extern comm_state_fn __real___imp_SetCommState;
BOOL WINAPI set_state(HANDLE h, LPDCB state)
{
    BOOL done = __real___imp_SetCommState(h, state);
    discard_nul = done ? state->fNull : discard_nul;
    return done;
}
comm_state_fn __wrap___imp_SetCommState = set_state;

// What a read of `got` bytes into `buf` leaves once the port has discarded NULs.
DWORD received(void* buf, DWORD got)
{
    auto* p = static_cast<unsigned char*>(buf);
    return discard_nul ? static_cast<DWORD>(std::remove(p, p + got, 0) - p) : got;
}

// A port's reads: the first overlapped read of each may finish later, so
// what it took is counted where its result is taken.
using read_file_fn = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
extern read_file_fn __real___imp_ReadFile;
void* waiting_read = nullptr;
BOOL WINAPI failing_read_file(HANDLE h, LPVOID buf, DWORD n, LPDWORD got, LPOVERLAPPED request)
{
    bool gone = allowance("gone") >= 0;
    long long allow = allowed(gone ? "gone" : "read", bytes_read, n);
    if (allow < 0) {
        SetLastError(gone ? ERROR_DEVICE_NOT_CONNECTED : ERROR_IO_DEVICE);
        return FALSE;
    }
    waiting_read = buf;
    BOOL done = __real___imp_ReadFile(h, buf, static_cast<DWORD>(allow), got, request);
    if (done && got)
        *got = received(buf, *got);
    bytes_read += done && got ? *got : 0;
    return done;
}
read_file_fn __wrap___imp_ReadFile = failing_read_file;

using result_fn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
extern result_fn __real___imp_GetOverlappedResult;
BOOL WINAPI counted_result(HANDLE h, LPOVERLAPPED request, LPDWORD got, BOOL wait)
{
    BOOL done = __real___imp_GetOverlappedResult(h, request, got, wait);
    if (done)
        *got = received(waiting_read, *got);
    bytes_read += done ? *got : 0;
    return done;
}
result_fn __wrap___imp_GetOverlappedResult = counted_result;
#else
ssize_t __wrap_read(int fd, void* buf, std::size_t n)
{
    return failing_receive(fd, buf, n, [fd](void* b, std::size_t m) { return __real_read(fd, b, m); });
}

ssize_t __wrap_recv(int fd, void* buf, std::size_t n, int flags)
{
    return failing_receive(fd, buf, n, [fd, flags](void* b, std::size_t m) { return __real_recv(fd, b, m, flags); });
}
#endif
}
