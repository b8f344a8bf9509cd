#include "native.h"

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

std::FILE* open_native(const wchar_t* path, const wchar_t* mode)
{
    return _wfopen(path, mode);
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
// the volume serial number that decides costs far more, so it is read only
// when the creation times match.
bool same_open_file(HANDLE a, HANDLE b)
{
    FILE_BASIC_INFO x, y;
    BY_HANDLE_FILE_INFORMATION p, q;
    return GetFileInformationByHandleEx(a, FileBasicInfo, &x, sizeof x) &&
           GetFileInformationByHandleEx(b, FileBasicInfo, &y, sizeof y) &&
           x.CreationTime.QuadPart == y.CreationTime.QuadPart && GetFileInformationByHandle(a, &p) &&
           GetFileInformationByHandle(b, &q) && p.dwVolumeSerialNumber == q.dwVolumeSerialNumber &&
           p.nFileIndexHigh == q.nFileIndexHigh && p.nFileIndexLow == q.nFileIndexLow;
}

} // namespace

bool same_file(std::FILE* in, const wchar_t* out_path)
{
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)));
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

#else

#include <sys/stat.h>

std::FILE* open_native(const char* path, const char* mode)
{
    return std::fopen(path, mode);
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

#endif
