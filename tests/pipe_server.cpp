// A named pipe's server, as a capture program on Windows may be one: it
// serves one client the bytes of a file, then closes. It says "ready" on
// standard output once a client may connect.
// usage: pipe_server \\.\pipe\NAME FILE
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    std::FILE* f = _wfopen(argv[2], L"rb");
    if (!f)
        return 2;
    std::vector<char> data;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    // One instance, the client only reading: as most servers of one capture.
    HANDLE pipe = CreateNamedPipeW(argv[1], PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                                   nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return 2;
    std::printf("ready\n");
    std::fflush(stdout);
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        return 2;
    DWORD put = 0;
    for (std::size_t at = 0; at < data.size(); at += put)
        if (!WriteFile(pipe, data.data() + at, static_cast<DWORD>(data.size() - at), &put, nullptr))
            return 3; // the client went away
    CloseHandle(pipe);
    return 0;
}
