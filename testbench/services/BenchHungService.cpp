// A service without the interactive flag that shows a message box and a dialog and waits on
// them, as a service hung on a question that nobody on the interactive desktop can see. Windows
// puts such windows on the service's own window station (Wine: __wineservice_winstation).
//
//   BenchHungService start RECORD   registers the entry QuillonBenchHung (own process, demand
//                                   start, not interactive) for this program, starts it with a
//                                   fresh RECORD and waits until both windows exist; prints them
//                                   as "places" does. Exit code 0 when both showed.
//   BenchHungService stop           stops the service and waits for it
//   BenchHungService places [TITLE] every top-level window of every window station and desktop
//                                   this process can open: STATION\DESKTOP<TAB>0xID<TAB>TITLE
//   BenchHungService service RECORD what the service manager runs
//
// The service appends one UTF-8 line to RECORD for each thing that happens:
//     place=STATION\DESKTOP                       where its service thread runs
//     box=Retry | box=Cancel                      the button that ended the message box
//     dialog=Save|Cancel|closed text=T overwrite=0|1   how the dialog ended, the edit's text,
//                                                      the check box
//     stopped | timeout                           the stop control, or ten minutes without answers
// It reports SERVICE_STOPPED once both windows are gone, or at the stop control.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchServiceNames.h"
#include "DialogTemplate.h"

namespace
{
constexpr WORD TextId = 100;
constexpr WORD EditId = 101;
constexpr WORD OverwriteId = 102;
constexpr DWORD GiveUpMs = 10 * 60 * 1000;

std::wstring recordFile;
CRITICAL_SECTION recordLock;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
HANDLE dialogShown = nullptr;
HANDLE stopRequested = nullptr;

void Record(const std::wstring& line)
{
    EnterCriticalSection(&recordLock);
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    if (FILE* file = _wfopen(recordFile.c_str(), L"ab"))
    {
        std::fprintf(file, "%s\n", utf8.c_str());
        std::fclose(file);
    }
    LeaveCriticalSection(&recordLock);
}

std::wstring NameOf(HANDLE object)
{
    wchar_t name[256] = {};
    DWORD needed = 0;
    GetUserObjectInformationW(object, UOI_NAME, name, sizeof name, &needed);
    return name;
}

void Report(DWORD state, DWORD accepted)
{
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control != SERVICE_CONTROL_STOP)
        return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
    Report(SERVICE_STOP_PENDING, 0);
    SetEvent(stopRequested);
    return NO_ERROR;
}

DWORD WINAPI BoxThread(void*)
{
    const int answer = MessageBoxW(nullptr, L"There is not enough space on the disk to write the export.",
                                   HungBoxTitle, MB_RETRYCANCEL | MB_ICONWARNING);
    Record(std::wstring(L"box=") + (answer == IDRETRY ? L"Retry" : answer == IDCANCEL ? L"Cancel" : L"other"));
    return 0;
}

void EndExport(HWND dialog, const wchar_t* how, INT_PTR code)
{
    wchar_t text[256] = {};
    GetDlgItemTextW(dialog, EditId, text, ARRAYSIZE(text));
    const bool overwrite = IsDlgButtonChecked(dialog, OverwriteId) == BST_CHECKED;
    Record(std::wstring(L"dialog=") + how + L" text=" + text + L" overwrite=" + (overwrite ? L"1" : L"0"));
    EndDialog(dialog, code);
}

INT_PTR CALLBACK ExportProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message)
    {
    case WM_INITDIALOG:
        SetEvent(dialogShown);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
        {
            EndExport(dialog, LOWORD(wParam) == IDOK ? L"Save" : L"Cancel", LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        // Told apart from Cancel, which is what the dialog manager would turn a close into.
        EndExport(dialog, L"closed", IDCANCEL);
        return TRUE;
    default:
        return FALSE;
    }
}

DWORD WINAPI ExportThread(void*)
{
    bench::DialogTemplate dialog;
    dialog.Header(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, HungDialogTitle, 20, 20, 200, 80, 8,
                  L"MS Shell Dlg");
    dialog.Item(SS_LEFT, 7, 7, 186, 8, TextId, 0x0082, L"Export the report to:");
    dialog.Item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 18, 186, 14, EditId, 0x0081, L"");
    dialog.Item(BS_AUTOCHECKBOX | WS_TABSTOP, 7, 38, 120, 10, OverwriteId, 0x0080, L"&Overwrite the file");
    dialog.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 89, 58, 50, 14, IDOK, 0x0080, L"&Save");
    dialog.Item(BS_PUSHBUTTON | WS_TABSTOP, 143, 58, 50, 14, IDCANCEL, 0x0080, L"Cancel");
    DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.get(), nullptr, ExportProc, 0);
    return 0;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    dialogShown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    statusHandle = RegisterServiceCtrlHandlerExW(HungServiceName, &Handler, nullptr);
    if (statusHandle == nullptr)
        return;
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    Record(L"place=" + NameOf(GetProcessWindowStation()) + L"\\" + NameOf(GetThreadDesktop(GetCurrentThreadId())));

    // Each window from a thread of its own, so that both wait at once; the box after the dialog,
    // so that it is the one active (the dialog's thread then has no focus, as a user would find
    // it: a click into the edit gives it the focus).
    const HANDLE exporter = CreateThread(nullptr, 0, ExportThread, nullptr, 0, nullptr);
    WaitForSingleObject(dialogShown, 10000);
    const HANDLE box = CreateThread(nullptr, 0, BoxThread, nullptr, 0, nullptr);
    HANDLE waits[] = {stopRequested, box, exporter};
    DWORD count = box != nullptr && exporter != nullptr ? 3 : 1;
    const ULONGLONG end = GetTickCount64() + GiveUpMs;
    while (count > 1)
    {
        const ULONGLONG now = GetTickCount64();
        const DWORD woken = WaitForMultipleObjects(count, waits, FALSE, now < end ? static_cast<DWORD>(end - now) : 0);
        if (woken == WAIT_OBJECT_0 + 1 || woken == WAIT_OBJECT_0 + 2)
        {
            waits[woken - WAIT_OBJECT_0] = waits[count - 1];
            --count;
            continue;
        }
        Record(woken == WAIT_OBJECT_0 ? L"stopped" : L"timeout");
        break;
    }
    Report(SERVICE_STOPPED, 0);
    // The windows' threads may still wait in their modal loops, which only an answer ends.
    ExitProcess(0);
}

// --- The commands of the bench ------------------------------------------------------------

void Print(const bench::PlacedWindow& p)
{
    wprintf(L"%ls\t0x%08X\t%ls\n", p.place.c_str(), static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(p.window)),
            p.title.c_str());
}

int Fail(const wchar_t* what, DWORD code = GetLastError())
{
    fwprintf(stderr, L"BenchHungService: %ls, error %lu\n", what, code);
    return 1;
}

SC_HANDLE OpenEntry(SC_HANDLE manager, DWORD access)
{
    return OpenServiceW(manager, HungServiceName, access);
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    SERVICE_STATUS now{};
    while (QueryServiceStatus(service, &now) && now.dwCurrentState != state)
    {
        if (GetTickCount64() >= end)
            return false;
        Sleep(50);
    }
    return now.dwCurrentState == state;
}

int Stop()
{
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = manager != nullptr ? OpenEntry(manager, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    if (service == nullptr)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : Fail(L"cannot open the entry");
    SERVICE_STATUS now{};
    ControlService(service, SERVICE_CONTROL_STOP, &now);
    const bool stopped = WaitForState(service, SERVICE_STOPPED, 10000);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return stopped ? 0 : Fail(L"the service did not stop", 0);
}

int Start(const std::wstring& record)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring image = L"\"" + std::wstring(self) + L"\" service \"" + record + L"\"";
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return Fail(L"no service manager");
    const DWORD access = SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | DELETE;
    SC_HANDLE service = OpenEntry(manager, access);
    if (service != nullptr)
    {
        // Registered by an earlier run, perhaps with another record or left running. Wine's
        // manager keeps an entry whose process was ended without a stop as running: such an
        // entry is deleted and registered anew.
        SERVICE_STATUS now{};
        ControlService(service, SERVICE_CONTROL_STOP, &now);
        if (WaitForState(service, SERVICE_STOPPED, 5000))
        {
            if (!ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                      image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
                return Fail(L"cannot point the entry at this program");
        }
        else
        {
            DeleteService(service);
            CloseServiceHandle(service);
            service = nullptr;
            const ULONGLONG end = GetTickCount64() + 5000;
            while (const SC_HANDLE left = OpenEntry(manager, SERVICE_QUERY_STATUS))
            {
                CloseServiceHandle(left);
                if (GetTickCount64() >= end)
                    return Fail(L"the entry of an ended service stays after its deletion", 0);
                Sleep(50);
            }
        }
    }
    if (service == nullptr)
        service = CreateServiceW(manager, HungServiceName, L"Quillon bench: a service waiting on its dialogs", access,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, image.c_str(),
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr)
        return Fail(L"cannot register the entry");
    DeleteFileW(record.c_str());
    BOOL started = FALSE;
    // Right after a change Wine's manager may answer 1055 (database locked) for a moment.
    for (int attempt = 0; attempt < 50 && !started; ++attempt)
    {
        started = StartServiceW(service, 0, nullptr);
        if (!started && GetLastError() != ERROR_SERVICE_DATABASE_LOCKED)
            break;
        if (!started)
            Sleep(100);
    }
    if (!started)
        return Fail(L"cannot start the service");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    const ULONGLONG end = GetTickCount64() + 15000;
    for (;;)
    {
        std::vector<bench::PlacedWindow> shown;
        for (const bench::PlacedWindow& p : bench::WindowsOfEveryStation())
            if (p.title == HungBoxTitle || p.title == HungDialogTitle)
                shown.push_back(p);
        if (shown.size() == 2)
        {
            for (const bench::PlacedWindow& p : shown)
                Print(p);
            return 0;
        }
        if (GetTickCount64() >= end)
            return Fail(L"the service's windows did not show within 15 s", 0);
        Sleep(50);
    }
}
}

int wmain(int count, wchar_t** arguments)
{
    const std::wstring command = count > 1 ? arguments[1] : L"";
    const std::wstring argument = count > 2 ? arguments[2] : L"";

    if (command == L"service" && !argument.empty())
    {
        InitializeCriticalSection(&recordLock);
        recordFile = argument;
        wchar_t name[] = L"QuillonBenchHung";
        const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
    }
    if (command == L"start" && !argument.empty())
        return Start(argument);
    if (command == L"stop")
        return Stop();
    if (command == L"places")
    {
        for (const bench::PlacedWindow& p : bench::WindowsOfEveryStation())
            if (argument.empty() || p.title == argument)
                Print(p);
        return 0;
    }
    fwprintf(stderr, L"usage: BenchHungService start RECORD | stop | places [TITLE]\n");
    return 2;
}
