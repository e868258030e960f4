#include <cstdlib>
#include <cwchar>

#include "BenchClient.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        fwprintf(stderr, L"usage: BenchWaitWindow CLASS [TIMEOUT_MS]\n");
        return 2;
    }
    const DWORD timeout = argc > 2 ? static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)) : 10000;
    return bench::WaitForWindow(argv[1], nullptr, timeout) != nullptr ? 0 : 1;
}
