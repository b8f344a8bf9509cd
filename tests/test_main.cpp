#include <gtest/gtest.h>

#ifdef _WIN32
#include <cstdio>

#include <windows.h>
#endif

int main(int argc, char** argv)
{
#ifdef _WIN32
    // A crash under Wine or on a build machine must fail the test, not wait on a dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Wine starts its debugger whatever the error mode, and there the test
    // hangs: the process ends at once instead, with the exception's code.
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* e) -> LONG {
        std::fprintf(stderr, "unhandled exception 0x%08lx\n", e->ExceptionRecord->ExceptionCode);
        return EXCEPTION_EXECUTE_HANDLER;
    });
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
