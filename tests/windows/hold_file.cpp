// hold-file PATH SECONDS: opens the file PATH and holds it for SECONDS
// seconds without sharing it, as a spreadsheet program holds a file it has
// open on Windows; other programs can neither read, write, rename nor remove
// it meanwhile. Says "holding PATH" on standard output once it holds it.
// A program of the Windows build's tests (tests/cases/windows), run under Wine.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int main()
{
    int count = 0;
    wchar_t **words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!words || count != 3) {
        std::fputs("usage: hold-file PATH SECONDS\n", stderr);
        return 2;
    }
    HANDLE file = CreateFileW(words[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold-file: cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("holding %ls\n", words[1]);
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::wcstoul(words[2], nullptr, 10)) * 1000);
    CloseHandle(file);
    LocalFree(words);
    return 0;
}
