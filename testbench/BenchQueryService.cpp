// Prints a service's configuration and state as NAME=VALUE lines, for shell scripts:
// BenchQueryService NAME. Wine's sc.exe has no "qc".

#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        fwprintf(stderr, L"usage: BenchQueryService NAME\n");
        return 2;
    }
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager != nullptr ? OpenServiceW(manager, argv[1], SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : nullptr;
    if (service == nullptr)
    {
        fwprintf(stderr, L"cannot open %ls: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    SERVICE_STATUS status{};
    if (!QueryServiceConfigW(service, config, needed, &needed) || !QueryServiceStatus(service, &status))
    {
        fwprintf(stderr, L"cannot query %ls: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    wprintf(L"IMAGE=%ls\nSTART=%lu\nERROR_CONTROL=%lu\nTYPE=0x%lx\nSTATE=%lu\n", config->lpBinaryPathName,
            config->dwStartType, config->dwErrorControl, config->dwServiceType, status.dwCurrentState);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
