// POSIX: paths are bytes and pass through unchanged. A terminal or serial
// line is set raw for the run and gets its settings back on every way out: at
// the end, on Ctrl+Z, on a fault, and on any signal that ends the run, which
// waits until the bytes already read are in out_file.
#include "native.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

// A 32-bit off_t or ino_t would fail files past 2 GiB and make the same-file
// check miss on file systems with inode numbers past 2^32.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

std::FILE* open_fd(const char* path, int flags, const char* mode)
{
    // O_NOCTTY: a terminal never becomes the tool's controlling terminal, so
    // a capture started without one (by a service manager) is not killed by
    // SIGHUP when the line hangs up.
    int fd = open(path, flags | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return f;
}

// The line, for the signal handlers too, which can be given nothing else.
// Written before the handlers are installed.
struct saved_line {
    int fd;           // -1 once the line is given back
    const char* path; // to reach the device again when `fd` has hung up
    bool own;         // the terminal the tool was started from
    termios settings; // the line's own
};
saved_line line = {-1, nullptr, false, {}};

// A signal that is to end the run, recorded until the bytes read are written.
volatile std::sig_atomic_t pending = 0;
// The mask the tool was started with, and the signals recorded or handled
// while a read waits: they are blocked at all other times but writes.
sigset_t started_mask;
sigset_t handled;
// Whether a read of the input may wait without end (not a regular file or a
// block device, whose reads always return soon).
bool input_waits = true;

const int FAULTS[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};
// Their default action is to stop, to continue or nothing; SIGKILL and
// SIGSTOP cannot be caught.
const int NOT_FATAL[] = {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH};

template <std::size_t N>
bool one_of(int sig, const int (&list)[N])
{
    return std::find(list, list + N, sig) != list + N;
}

// Takes the line for the run from its settings now: raw 8-bit bytes, none
// taken as flow control, line editing or a signal, each read returning what
// has arrived; no other program may open it. Async-signal-safe.
bool set_raw()
{
    termios raw = line.settings;
    // No flow control on received bytes, no translation of CR, LF or case,
    // no stripping to 7 bits, no parity marks, no break as a signal.
    raw.c_iflag &= ~tcflag_t(IXON | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT);
#ifdef IUCLC
    raw.c_iflag &= ~tcflag_t(IUCLC);
#endif
    // No line editing or echo. The terminal the tool was started from keeps
    // its signal characters, so that Ctrl+C still ends the run there.
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHONL | IEXTEN | (line.own ? 0 : ISIG));
    raw.c_cflag |= CREAD;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Exclusive mode refuses other opens beyond the lock; not every system has it.
    ioctl(line.fd, TIOCEXCL);
    return tcsetattr(line.fd, TCSANOW, &raw) == 0;
}

// Gives the line its settings back. A line that hung up refuses them through
// its dead descriptor (EIO), but a serial port keeps its settings from one
// open to the next: a new descriptor reaches it if the device still exists.
// Async-signal-safe.
void restore_line()
{
    if (line.fd < 0)
        return;
    int saved_errno = errno;
    if (tcsetattr(line.fd, TCSANOW, &line.settings) == 0) {
        ioctl(line.fd, TIOCNXCL);
    } else {
        int fd = open(line.path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            tcsetattr(fd, TCSANOW, &line.settings);
            ioctl(fd, TIOCNXCL);
            close(fd);
        }
    }
    errno = saved_errno;
}

void set_action(int sig, void (*handler)(int), int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigfillset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void record(int sig)
{
    pending = sig;
}

// A fault cannot wait for the read to return: the line is given back and
// the signal, its default action back (SA_RESETHAND), raised again.
void restore_and_reraise(int sig)
{
    restore_line();
    raise(sig);
}

// Ctrl+Z: the terminal gets its own settings back, and others may open it,
// while the tool is stopped. On continue the line is taken again from its
// settings then, before another byte is read: the shell has put back its own.
void stop_and_continue(int)
{
    int saved_errno = errno;
    restore_line();
    set_action(SIGTSTP, SIG_DFL, 0);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    // Continued.
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    set_action(SIGTSTP, stop_and_continue, SA_RESTART);
    if (line.fd >= 0 && tcgetattr(line.fd, &line.settings) == 0)
        set_raw();
    errno = saved_errno;
}

bool caller_ignores(int sig)
{
    struct sigaction old;
    return sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN;
}

// Every signal whose default action ends the process, but those the caller
// ignores, which stay ignored. Faults are handled only while a line is held.
void handle_signals(bool holding_line)
{
    sigemptyset(&handled);
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        if (one_of(sig, NOT_FATAL) || caller_ignores(sig))
            continue;
        if (one_of(sig, FAULTS)) {
            if (holding_line)
                set_action(sig, restore_and_reraise, SA_RESETHAND);
            continue;
        }
        sigaddset(&handled, sig);
        // No SA_RESTART: a write that a slow output holds up returns.
        set_action(sig, record, 0);
    }
    if (holding_line && !caller_ignores(SIGTSTP)) {
        sigaddset(&handled, SIGTSTP);
        set_action(SIGTSTP, stop_and_continue, SA_RESTART);
    }
}

} // namespace

std::FILE* open_input(const char* path, bool* held)
{
    *held = false;
    // A device opens without waiting for a modem's carrier.
    struct stat st;
    bool device = stat(path, &st) == 0 && S_ISCHR(st.st_mode);
    std::FILE* in = open_fd(path, O_RDONLY | (device ? O_NONBLOCK : 0), "rb");
    if (!in) {
        *held = device && errno == EBUSY; // another reader's exclusive mode
        return nullptr;
    }
    if (!device)
        return in;
    int fd = fileno(in);
    int flags = fcntl(fd, F_GETFL);
    // One reader at a time: an advisory lock that serial programs honour.
    *held = isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || *held) {
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
    if (fstat(fileno(in), &a) != 0 || stat(out_path, &b) != 0)
        return false;
    // A block device may have more than one node.
    if (S_ISBLK(a.st_mode))
        return S_ISBLK(b.st_mode) && a.st_rdev == b.st_rdev;
    // Character devices read and write apart (/dev/null, a terminal).
    return (S_ISREG(a.st_mode) || S_ISFIFO(a.st_mode)) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool take_line(std::FILE* in, const char* path)
{
    sigprocmask(SIG_SETMASK, nullptr, &started_mask);
    int fd = fileno(in);
    struct stat st;
    input_waits = fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    termios settings;
    bool terminal = tcgetattr(fd, &settings) == 0;
    if (terminal)
        line = {fd, path, tcgetpgrp(fd) != -1, settings}; // tcgetpgrp fails for any terminal but the tool's own
    handle_signals(terminal);
    if (!terminal || set_raw())
        return true;
    restore_line();
    line.fd = -1;
    return false;
}

std::ptrdiff_t read_input(void* source, unsigned char* buf, std::size_t n)
{
    int fd = fileno(static_cast<std::FILE*>(source));
    if (!input_waits) {
        // A file's read returns soon: a signal is seen at the next one.
        if (pending)
            return 0;
        ssize_t got;
        do
            got = read(fd, buf, n);
        while (got < 0 && errno == EINTR && !pending);
        return got < 0 && pending ? 0 : got;
    }
    // Signals wait while the input is checked and read, and come only while
    // the read waits, so none is missed between the check and the wait.
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    ssize_t got = 0;
    for (;;) {
        if (pending)
            break; // the end of this run's input
        pollfd ready = {fd, POLLIN, 0};
        if (ppoll(&ready, 1, nullptr, &started_mask) < 0 && errno == EINTR)
            continue;
        got = read(fd, buf, n);
        if (got >= 0 || errno != EINTR)
            break;
    }
    int saved_errno = errno;
    sigprocmask(SIG_SETMASK, &started_mask, nullptr);
    errno = saved_errno;
    return got;
}

span_status release_line(std::FILE* in, span_status status)
{
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    if (line.fd == fileno(in)) {
        // A terminal that hung up fails its reads with EIO (a pseudo-terminal
        // whose other end closed) or ends them (an adapter unplugged).
        if (status == SPANS_READ_FAILED && errno == EIO)
            status = SPANS_COPIED;
        restore_line();
        line.fd = -1;
    }
    if (pending) {
        // Every byte read is written: the run now ends as the signal would
        // have ended it, once the mask it came through is back.
        set_action(pending, SIG_DFL, 0);
        raise(pending);
    }
    sigprocmask(SIG_SETMASK, &started_mask, nullptr);
    return status;
}
