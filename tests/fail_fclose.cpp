// Preloaded by the command-line tests: makes fclose of the file named by
// XONSPAN_TEST_FAIL_CLOSE report EIO, as a full network or FUSE disk can.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int fclose(std::FILE* f)
{
    using fclose_fn = int (*)(std::FILE*);
    static const fclose_fn real = reinterpret_cast<fclose_fn>(dlsym(RTLD_NEXT, "fclose"));
    bool fail = false;
    if (const char* target = std::getenv("XONSPAN_TEST_FAIL_CLOSE")) {
        char link[64], path[PATH_MAX];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(f));
        ssize_t n = readlink(link, path, sizeof path - 1);
        if (n > 0) {
            path[n] = '\0';
            fail = std::strcmp(path, target) == 0;
        }
    }
    int status = real(f);
    if (fail) {
        errno = EIO;
        return EOF;
    }
    return status;
}
