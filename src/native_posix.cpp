// POSIX: paths are bytes and pass through unchanged. A terminal or serial
// line is set raw for the run and gets its settings back on every way out: at
// the end, on Ctrl+Z, on a fault, and on any signal that ends the run, which
// waits until the bytes already read are in out_file.
#include "native.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

// A 32-bit off_t or ino_t would fail files past 2 GiB and make the same-file
// check miss on file systems with inode numbers past 2^32.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

std::FILE* fd_stream(int fd, const char* mode)
{
    std::FILE* f = fd >= 0 ? fdopen(fd, mode) : nullptr;
    if (!f && fd >= 0)
        close(fd);
    return f;
}

std::FILE* open_fd(const char* path, int flags, const char* mode)
{
    // O_NOCTTY: a terminal never becomes the tool's controlling terminal, so
    // a capture started without one (by a service manager) is not killed by
    // SIGHUP when the line hangs up.
    return fd_stream(open(path, flags | O_NOCTTY | O_CLOEXEC, 0666), mode);
}

// Whether a terminal refuses other opens now; where the system cannot tell,
// as if not.
bool exclusive_now(int fd)
{
#ifdef TIOCGEXCL
    int on = 0;
    return ioctl(fd, TIOCGEXCL, &on) == 0 && on;
#else
    (void)fd;
    return false;
#endif
}

// The line, for the signal handlers too, which can be given nothing else.
// Written before the handlers are installed.
struct saved_line {
    int fd;           // -1 once the line is given back for good
    const char* path; // to reach the device again when `fd` has hung up
    bool own;         // the terminal the tool was started from
    bool taken;       // set raw for the run now; the own terminal only while in the foreground
    bool exclusive;   // exclusive mode set by this run, and so cleared by it
    termios settings; // the line's own
};
saved_line line = {-1, nullptr, false, false, false, {}};

// The lock file this run wrote for its line, removed on every way out but
// SIGKILL; empty when it wrote none.
char lock_path[PATH_MAX] = "";

// The first signal that is to end the run, recorded until the bytes read are
// written; who sent it (0: the kernel, as for a key typed) and when.
volatile std::sig_atomic_t pending = 0;
pid_t pending_from = 0;
timespec pending_at = {};
// When the latest came: not on the handler's stack, which qemu-user
// misaligns for the vector store a local's zeroing gets.
timespec signal_at = {};
// Faults the caller ignores or blocks: the kernel delivers a real one all the
// same, by its default action, so they have a handler; one sent by another
// program is ignored as the caller asked.
sigset_t caller_quiet;
// The caller's flags of a descriptor read through its own open file, restored
// at the end: that file is made non-blocking for the run. -1: none.
int shared_fd = -1;
int shared_flags = 0;
// The mask the tool was started with, and the signals given a handler:
// blocked while the input is checked, so that they come only while a read
// waits in ppoll, or while a write or a read that does not wait runs.
sigset_t started_mask;
sigset_t handled;
// Whether a read of the input may wait without end (not a regular file or a
// block device, whose reads always return soon).
bool input_waits = true;
// A socket is the caller's own, never made non-blocking: each read is.
bool input_socket = false;

// Signals the run may cause itself: faults and its own abort, and (OWN) a
// write to a pipe that no one reads any more, which nothing can finish.
const int FAULTS[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};
const int OWN[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS, SIGPIPE};
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
    line.taken = true;
    if (shared_fd == line.fd)
        fcntl(line.fd, F_SETFL, shared_flags | O_NONBLOCK);
    // Exclusive mode refuses other opens beyond the lock; not every system
    // has it. One that another program set is that program's to clear.
    if (!line.exclusive && !exclusive_now(line.fd))
        line.exclusive = ioctl(line.fd, TIOCEXCL) == 0;
    return tcsetattr(line.fd, TCSANOW, &raw) == 0;
}

// Gives the line its settings back and lets others open it. A line that hung
// up refuses both through its dead descriptor (EIO), but a serial port keeps
// its settings from one open to the next, so a new descriptor reaches it if
// the device still exists. The dead one is let go first: while it is open,
// the tool's own exclusive mode refuses the new open to anyone but root.
// Async-signal-safe.
void restore_line()
{
    if (line.fd < 0 || !line.taken)
        return;
    line.taken = false;
    int saved_errno = errno;
    // The caller's own open of its terminal: its flags too, while stopped.
    if (shared_fd == line.fd)
        fcntl(line.fd, F_SETFL, shared_flags);
    bool restored = tcsetattr(line.fd, TCSANOW, &line.settings) == 0;
    if (line.exclusive)
        ioctl(line.fd, TIOCNXCL);
    if (!restored) {
        // /dev/null in its place keeps the descriptor valid for the stream.
        int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, line.fd);
            close(null);
        }
        int fd = open(line.path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            tcsetattr(fd, TCSANOW, &line.settings);
            if (line.exclusive)
                ioctl(fd, TIOCNXCL);
            close(fd);
        }
    }
    line.exclusive = false;
    errno = saved_errno;
}

// UUCP lock files, which terminal programs keep: LCK.. and the device's own
// name, in the first of these folders there is, holding the owner's PID in
// ASCII. Both are looked at, as some systems keep them apart.
const char* const LOCK_FOLDERS[] = {"/var/lock", "/run/lock"};

std::string lock_name(const char* folder, const char* device)
{
    // By-id links and aliases (/dev/serial0) lock the device they lead to.
    char real[PATH_MAX];
    const char* name = realpath(device, real) ? real : device;
    const char* slash = std::strrchr(name, '/');
    return std::string(folder) + "/LCK.." + (slash ? slash + 1 : name);
}

// The PID a lock file names, in ASCII or, as older programs wrote it, as a
// binary int; 0 when there is no lock file; -1 when it names none but is
// new, its owner perhaps between creating it and writing its PID.
pid_t lock_owner(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32];
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    struct stat st;
    long age = fstat(fd, &st) == 0 ? static_cast<long>(time(nullptr) - st.st_mtime) : 10;
    close(fd);
    text[n > 0 ? n : 0] = '\0';
    bool ascii = n > 0 && std::strspn(text, " \t\n0123456789") == static_cast<std::size_t>(n);
    long pid = std::strtol(text, nullptr, 10);
    if (n == sizeof(int) && !ascii) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        pid = binary;
    } else if (!ascii) {
        pid = 0;
    }
    // No PID is larger than Linux's limit (2^22): a larger one is no PID.
    if (pid > 0 && pid <= (1L << 22))
        return static_cast<pid_t>(pid);
    return age > -10 && age < 10 ? -1 : 0;
}

bool alive(pid_t pid)
{
    return pid == -1 || kill(pid, 0) == 0 || errno == EPERM;
}

bool locked_by_another(const char* device)
{
    for (const char* folder : LOCK_FOLDERS) {
        pid_t owner = lock_owner(lock_name(folder, device));
        if (owner && owner != getpid() && alive(owner))
            return true;
    }
    return false;
}

// This run's lock for the programs that honour them, where it may write one
// (no error where it may not); a stale one, its PID gone, is replaced.
void write_lock(const char* device)
{
    for (const char* folder : LOCK_FOLDERS) {
        struct stat st;
        if (stat(folder, &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        std::string name = lock_name(folder, device);
        for (int tries = 0; tries < 2 && name.size() < sizeof lock_path; ++tries) {
            int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644);
            if (fd >= 0) {
                bool written = dprintf(fd, "%10d\n", static_cast<int>(getpid())) == 11;
                close(fd);
                if (written)
                    std::memcpy(lock_path, name.c_str(), name.size() + 1);
                else
                    unlink(name.c_str());
                return;
            }
            if (errno != EEXIST)
                return;
            pid_t owner = lock_owner(name);
            if (owner && alive(owner))
                return;
            unlink(name.c_str()); // stale, or gone meanwhile
        }
        return;
    }
}

// Gives the line back for good: its settings, and its lock; and the caller's
// descriptor its flags. Async-signal-safe.
void give_back()
{
    restore_line();
    if (shared_fd >= 0) {
        fcntl(shared_fd, F_SETFL, shared_flags);
        shared_fd = -1;
    }
    if (lock_path[0]) {
        unlink(lock_path);
        lock_path[0] = '\0';
    }
}

// The terminal the tool was started from is taken only while the run is in
// the foreground: in the background it is the shell's, and the next read
// stops the run as any program reading its terminal from there.
void take_in_foreground()
{
    if (line.fd >= 0 && line.own && !line.taken && tcgetpgrp(line.fd) == getpgrp() &&
        tcgetattr(line.fd, &line.settings) == 0)
        set_raw();
}

void set_action(int sig, void (*handler)(int), int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigfillset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void set_info_action(int sig, void (*handler)(int, siginfo_t*, void*))
{
    struct sigaction action = {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO;
    sigfillset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// Ends the process by `sig` at once, as its default action does.
void end_by(int sig)
{
    set_action(sig, SIG_DFL, 0);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    raise(sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

// The process that sent a signal; 0 for the kernel's own.
pid_t sender(const siginfo_t* info)
{
    int code = info->si_code;
    return code == SI_USER || code == SI_QUEUE || code == SI_TKILL ? info->si_pid : 0;
}

// The first signal lets a write that waits finish; a second one means the
// user will not wait for the output to drain. `timeout` and the like send
// theirs to the process and to its group at once: the same signal from the
// same sender within a tenth of a second is the same request.
void record(int sig, siginfo_t* info, void*)
{
    clock_gettime(CLOCK_MONOTONIC, &signal_at);
    pid_t from = sender(info);
    if (!pending) {
        pending = sig;
        pending_from = from;
        pending_at = signal_at;
        return;
    }
    long long ms = (signal_at.tv_sec - pending_at.tv_sec) * 1000LL + (signal_at.tv_nsec - pending_at.tv_nsec) / 1000000;
    if (sig == pending && from != 0 && from == pending_from && ms < 100)
        return;
    give_back();
    end_by(sig);
}

// One of those that another program sent (kill, `timeout -s ABRT`) ends the
// run as any other signal does. The run's own cannot wait for the read to
// return: the line is given back and the signal raised again with its
// default action.
void on_own(int sig, siginfo_t* info, void* context)
{
    pid_t from = sender(info);
    if (from != 0 && from != getpid()) {
        if (!sigismember(&caller_quiet, sig))
            record(sig, info, context);
        return;
    }
    give_back();
    end_by(sig);
}

// Ctrl+Z on the tool's own terminal: the terminal gets its own settings
// back, and others may open it, while the run is stopped; the reader takes
// it again once the run is back in the foreground.
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
    set_action(SIGTSTP, stop_and_continue, 0);
    errno = saved_errno;
}

// On continue, a read stopped in the background returns, so that the reader
// takes the terminal if the run is now in the foreground, or ends it if a
// signal came meanwhile (`kill %1` sends SIGTERM, then SIGCONT). A run that
// SIGSTOP stopped kept the terminal; continued in the background (`bg`), it
// gives it back to the shell.
void continued(int)
{
    int saved_errno = errno;
    if (line.fd >= 0 && line.taken && tcgetpgrp(line.fd) != getpgrp())
        restore_line();
    errno = saved_errno;
}

bool caller_ignores(int sig)
{
    struct sigaction old;
    return sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN;
}

// Every signal whose default action ends the process, but those the caller
// ignores, which stay ignored (a fault only when another program sends it);
// job control only on the tool's own terminal:
// any other line stays as the run set it while stopped, so what arrives
// meanwhile is read unchanged. No SA_RESTART: a read stopped in the
// background returns on continue.
void handle_signals(bool own)
{
    sigemptyset(&handled);
    sigemptyset(&caller_quiet);
    sigset_t waiting;
    sigpending(&waiting);
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        bool fault = one_of(sig, FAULTS);
        if (one_of(sig, NOT_FATAL) || (caller_ignores(sig) && !fault))
            continue;
        if (fault && (caller_ignores(sig) || sigismember(&started_mask, sig) == 1)) {
            sigaddset(&caller_quiet, sig);
            // One that waits already was sent before the run: it stays blocked.
            if (sigismember(&waiting, sig) != 1)
                sigdelset(&started_mask, sig);
        }
        sigaddset(&handled, sig);
        set_info_action(sig, one_of(sig, OWN) ? on_own : record);
    }
    if (own) {
        if (!caller_ignores(SIGTSTP)) {
            sigaddset(&handled, SIGTSTP);
            set_action(SIGTSTP, stop_and_continue, 0);
        }
        sigaddset(&handled, SIGCONT);
        set_action(SIGCONT, continued, 0);
    }
}

// A descriptor number as a file name in a descriptor folder; -1 for any other name.
int descriptor_number(const char* name)
{
    long fd = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9' || fd > INT_MAX / 10)
            return -1;
        fd = fd * 10 + (*p - '0');
    }
    return *name ? static_cast<int>(fd) : -1;
}

// A descriptor named as a path: /dev/stdin, /dev/stdout, /dev/stderr,
// /dev/fd/N or /proc/self/fd/N, by these names or any other spelling or
// link that leads to one (//dev/stdout, /proc/thread-self/fd/1, a link to
// /dev/stdout); -1 for any other path.
int named_descriptor(const char* path)
{
    const char* const streams[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
    for (int fd = 0; fd < 3; ++fd)
        if (std::strcmp(path, streams[fd]) == 0)
            return fd;
    for (const char* folder : {"/dev/fd/", "/proc/self/fd/"}) {
        std::size_t len = std::strlen(folder);
        int fd = std::strncmp(path, folder, len) == 0 ? descriptor_number(path + len) : -1;
        if (fd >= 0)
            return fd;
    }
    // Otherwise its folder may be this process's descriptor folder, known by
    // its inode (held open meanwhile, so that it keeps it), or its last part
    // a link to try in turn. Folders are reached through descriptors, never
    // by a name of their own, which a working folder deeper than PATH_MAX
    // does not have. A descriptor's own link leads to its file: never taken.
#ifdef O_PATH
    const int as_folder = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    const int as_folder = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    int mine[] = {open("/proc/self/fd", as_folder), open("/proc/thread-self/fd", as_folder)};
    struct stat ids[2] = {};
    for (int i = 0; i < 2; ++i)
        if (mine[i] >= 0 && fstat(mine[i], &ids[i]) != 0)
            ids[i] = {};
    int found = -1, at = AT_FDCWD;
    std::string name = path;
    for (int links = 0; links < 40; ++links) {
        std::size_t slash = name.rfind('/');
        std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
        std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
        int dir = last.empty() ? -1 : openat(at, folder.c_str(), as_folder);
        if (at != AT_FDCWD)
            close(at);
        at = AT_FDCWD;
        struct stat st;
        if (dir < 0 || fstat(dir, &st) != 0) {
            if (dir >= 0)
                close(dir);
            break;
        }
        bool descriptors = false;
        for (const struct stat& id : ids)
            descriptors = descriptors || (id.st_ino != 0 && id.st_dev == st.st_dev && id.st_ino == st.st_ino);
        char target[PATH_MAX];
        ssize_t n = descriptors ? 0 : readlinkat(dir, last.c_str(), target, sizeof target - 1);
        if (descriptors)
            found = descriptor_number(last.c_str());
        if (n <= 0) { // not a link: a file of its own
            close(dir);
            break;
        }
        target[n] = '\0';
        name = target;
        if (target[0] == '/')
            close(dir);
        else
            at = dir; // relative to the link's folder
    }
    if (at != AT_FDCWD)
        close(at);
    for (int fd : mine)
        if (fd >= 0)
            close(fd);
    return found;
}

// The device number of the terminal open as `fd`: opened as /dev/tty, its
// node says only "/dev/tty" (`rdev`), but Linux tells the terminal behind it.
dev_t terminal_number(int fd, dev_t rdev)
{
#ifdef TIOCGDEV
    unsigned int dev;
    if (ioctl(fd, TIOCGDEV, &dev) == 0)
        return makedev((dev & 0xfff00) >> 8, (dev & 0xff) | ((dev >> 12) & 0xfff00));
#endif
    return rdev;
}

// In_file named as one of the caller's descriptors is read through it, so a
// file is read on from the caller's offset and a socket works; a pipe, FIFO
// or terminal is opened anew instead, the same one, so that making its reads
// non-blocking changes nothing the caller holds. Where that open is refused
// (another user's) or would make another (a pseudo-terminal's master side),
// it too is read through the caller's descriptor. One not open for reading,
// or a socket that carries messages, whose bounds a byte stream would lose,
// is refused.
// A pseudo-terminal's master side: a program's end of the line, not a line.
bool pty_master(int fd)
{
    int number = 0;
    return ioctl(fd, TIOCGPTN, &number) == 0;
}

std::FILE* open_given(int given)
{
    int mode = fcntl(given, F_GETFL);
    struct stat st;
    if (mode < 0 || (mode & O_ACCMODE) == O_WRONLY || fstat(given, &st) != 0)
        return nullptr;
    int type = 0;
    socklen_t size = sizeof type;
    if (S_ISSOCK(st.st_mode) && (getsockopt(given, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM))
        return nullptr;
    if ((S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) && !pty_master(given)) {
        std::FILE* in = open_fd(("/proc/self/fd/" + std::to_string(given)).c_str(), O_RDONLY | O_NONBLOCK, "rb");
        if (in || (errno != EACCES && errno != EPERM))
            return in;
    }
    std::FILE* in = fd_stream(fcntl(given, F_DUPFD_CLOEXEC, 3), "rb");
    if (in && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        shared_fd = fileno(in);
        shared_flags = mode;
    }
    return in;
}

} // namespace

void hold_standard_streams()
{
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY); // takes the lowest number free: fd
}

std::FILE* open_input(const char* path, bool* held)
{
    *held = false;
    int given = named_descriptor(path);
    // A device opens without waiting for a modem's carrier.
    struct stat st;
    bool device = given < 0 && stat(path, &st) == 0 && S_ISCHR(st.st_mode);
    std::FILE* in = given >= 0 ? open_given(given) : open_fd(path, O_RDONLY | (device ? O_NONBLOCK : 0), "rb");
    if (!in) {
        *held = device && errno == EBUSY; // another reader's exclusive mode
        return nullptr;
    }
    // One reader at a time: an advisory lock that serial programs honour,
    // exclusive mode, which does not refuse root, and a lock file that a
    // live program left, but on the terminal the tool was started from. As
    // /dev/tty, that terminal is not locked: the lock would be on /dev/tty,
    // every terminal's, not on this one; nor the caller's own open of it,
    // which would keep the lock after the run.
    int fd = fileno(in);
    struct stat tty;
    bool alias = fstat(fd, &st) == 0 && stat("/dev/tty", &tty) == 0 && st.st_rdev == tty.st_rdev;
    *held = isatty(fd) && !pty_master(fd) &&
            ((!alias && shared_fd < 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) || exclusive_now(fd) ||
             (tcgetpgrp(fd) == -1 && locked_by_another(path)));
    if (*held) {
        std::fclose(in);
        return nullptr;
    }
    return in;
}

std::FILE* open_output(const char* path)
{
    int given = named_descriptor(path);
    if (given < 0)
        return open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, "wb");
    // Opened anew, the file the shell opened for `>> log` would be
    // truncated; a descriptor not open for writing is refused, not reopened.
    int mode = fcntl(given, F_GETFL);
    if (mode < 0 || (mode & O_ACCMODE) == O_RDONLY)
        return nullptr;
    int fd = fcntl(given, F_DUPFD_CLOEXEC, 3);
    std::FILE* out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!out && fd >= 0)
        close(fd);
    return out;
}

std::string printable(const char* arg)
{
    return arg;
}

bool same_file(std::FILE* in, const char*, const char* out_path)
{
    struct stat a, b;
    if (fstat(fileno(in), &a) != 0 || stat(out_path, &b) != 0)
        return false;
    // A block device may have more than one node.
    if (S_ISBLK(a.st_mode))
        return S_ISBLK(b.st_mode) && a.st_rdev == b.st_rdev;
    // Other character devices read and write apart (/dev/null), but a
    // terminal would be sent the payload as if typed. /dev/tty is the tool's
    // own terminal by another name, on either side.
    if (S_ISCHR(a.st_mode)) {
        if (!isatty(fileno(in)) || !S_ISCHR(b.st_mode))
            return false;
        struct stat tty;
        bool out_own = stat("/dev/tty", &tty) == 0 && b.st_rdev == tty.st_rdev;
        return b.st_rdev == terminal_number(fileno(in), a.st_rdev) || (out_own && tcgetpgrp(fileno(in)) != -1);
    }
    return (S_ISREG(a.st_mode) || S_ISFIFO(a.st_mode)) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool stdout_is_input(std::FILE* in, const char* in_path)
{
    struct stat a, b;
    return (in ? fstat(fileno(in), &a) : stat(in_path, &a)) == 0 && fstat(STDOUT_FILENO, &b) == 0 &&
           S_ISREG(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool take_line(std::FILE* in, const char* path)
{
    sigprocmask(SIG_SETMASK, nullptr, &started_mask);
    int fd = fileno(in);
    struct stat st;
    bool known = fstat(fd, &st) == 0;
    input_waits = !known || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    input_socket = known && S_ISSOCK(st.st_mode);
    // Reads of a live input never wait: only ppoll does, where signals come.
    // Another reader may take the bytes ppoll saw. The descriptor is the
    // tool's own (every path but a socket is opened anew), so no other
    // program sees this.
    int flags = fcntl(fd, F_GETFL);
    if (input_waits && !input_socket && (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0))
        return false;
    termios settings;
    bool terminal = tcgetattr(fd, &settings) == 0 && !pty_master(fd);
    bool own = terminal && tcgetpgrp(fd) != -1; // it fails for any terminal but the tool's own
    if (terminal)
        line = {fd, path, own, false, false, settings};
    handle_signals(own);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    if (terminal && !own)
        write_lock(path);
    bool taken = !terminal || (own && tcgetpgrp(fd) != getpgrp()) || set_raw();
    if (!taken) {
        give_back();
        line.fd = -1;
    }
    sigprocmask(SIG_SETMASK, &started_mask, nullptr);
    return taken;
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
    for (;;) {
        // Signals wait while the input is checked, and come while ppoll
        // waits, so none is missed between the check and the wait.
        sigprocmask(SIG_BLOCK, &handled, nullptr);
        int polled = -1;
        if (!pending) {
            take_in_foreground();
            pollfd ready = {fd, POLLIN, 0};
            polled = ppoll(&ready, 1, nullptr, &started_mask);
        }
        int saved_errno = errno;
        sigprocmask(SIG_SETMASK, &started_mask, nullptr);
        if (pending)
            return 0; // the end of this run's input
        if (polled < 0 && saved_errno == EINTR)
            continue; // Ctrl+Z or a continue: the line is looked at again first
        ssize_t got = input_socket ? recv(fd, buf, n, MSG_DONTWAIT) : read(fd, buf, n);
        // A terminal that hung up fails its reads with EIO (a pseudo-terminal
        // whose other end closed) or ends them (an adapter unplugged). So
        // does the tool's own terminal, still there, read from a background
        // group that no shell will bring back: that is a read error. A
        // master side whose line closed fails them with EIO too.
        if (got < 0 && errno == EIO && (fd == line.fd || pty_master(fd))) {
            pid_t foreground = fd == line.fd && line.own ? tcgetpgrp(fd) : -1;
            if (foreground <= 0 || foreground == getpgrp())
                return 0;
            errno = EIO;
        }
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return got;
    }
}

bool write_output(void* out, const unsigned char* buf, std::size_t n)
{
    int fd = fileno(static_cast<std::FILE*>(out));
    while (n > 0) {
        // The first signal lets the write finish; a second ends the run in
        // its handler.
        ssize_t put = write(fd, buf, n);
        if (put < 0 && errno == EINTR)
            continue;
        // A descriptor the caller gave may be non-blocking (event loops set
        // their pipes so): wait until it takes more.
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd room = {fd, POLLOUT, 0};
            if (poll(&room, 1, -1) < 0 && errno != EINTR)
                return false;
            continue;
        }
        if (put <= 0)
            return false;
        buf += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

span_status release_line(std::FILE*, span_status status)
{
    sigset_t quiet = handled;
    sigaddset(&quiet, SIGTTOU); // the terminal is given back even from the background
    sigprocmask(SIG_BLOCK, &quiet, nullptr);
    give_back();
    line.fd = -1;
    // From here any signal has its default action, so it ends the run at
    // once, even one that came since the last check; one recorded before
    // ends it in end_if_interrupted.
    for (int sig = 1; sig <= SIGRTMAX; ++sig)
        if (sigismember(&handled, sig))
            set_action(sig, sigismember(&caller_quiet, sig) == 1 ? SIG_IGN : SIG_DFL, 0);
    sigprocmask(SIG_SETMASK, &started_mask, nullptr);
    return status;
}

void end_if_interrupted()
{
    if (pending)
        end_by(pending);
}
