// A top-level window that prints "ready", then waits up to 30 s for
// WM_SETTINGCHANGE naming "Environment" and prints "Environment": the
// message a console's parent (Explorer) needs to pass a new PATH on.
// Exit status 0 when it came, 1 when it did not.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

LRESULT CALLBACK on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_SETTINGCHANGE && lparam != 0 &&
        std::wcscmp(reinterpret_cast<const wchar_t*>(lparam), L"Environment") == 0) {
        std::printf("Environment\n");
        std::fflush(stdout);
        PostQuitMessage(0);
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

} // namespace

int main()
{
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = on_message;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"xonspan_settingchange_listener";
    if (RegisterClassW(&window_class) == 0)
        return 2;
    // Broadcasts reach top-level windows only, visible or not.
    HWND window = CreateWindowExW(0, window_class.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 1, 1, nullptr,
                                  nullptr, window_class.hInstance, nullptr);
    if (window == nullptr)
        return 2;
    SetTimer(window, 1, 30000, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER)
            return 1;
        DispatchMessageW(&message);
    }
    return 0;
}
