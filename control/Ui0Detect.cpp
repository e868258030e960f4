#include "Ui0Detect.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "EventSource.h"
#include "session/Console.h"
#include "session/FolderSecurity.h"
#include "session/ObjectOwner.h"
#include "session/Paths.h"
#include "session/SystemError.h"

namespace
{
constexpr const wchar_t* WindowsImage = L"%SystemRoot%\\System32\\UI0Detect.exe";
constexpr const wchar_t* WindowsDisplayName = L"Interactive Services Detection";
constexpr const wchar_t* ServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\UI0Detect";
constexpr const wchar_t* CreatedMark = L"QuillonCreated";
// Longest time the tool waits for the manager to drop a deleted entry that nothing holds.
constexpr DWORD DeleteWaitLimitMs = 5000;

[[noreturn]] void throw_in_state(DWORD code, const char* context, DWORD state)
{
    throw_system_error(code, (std::string(context) + std::to_string(state)).c_str());
}

// A control refused because the service is stopped or already stopping is no failure.
bool refused_while_stopping(DWORD error, DWORD state)
{
    return (error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) &&
           (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING);
}

ScopedServiceHandle connect_manager(DWORD access)
{
    ScopedServiceHandle manager = MakeScopedServiceHandle(OpenSCManagerW(nullptr, nullptr, access));
    if (!manager)
        throw_last_error("Couldn't connect to service control manager");
    return manager;
}

bool same_name(const std::wstring& name, const wchar_t* expected)
{
    return CompareStringOrdinal(name.c_str(), -1, expected, -1, TRUE) == CSTR_EQUAL;
}

std::wstring query_image(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed > sizeof(QUERY_SERVICE_CONFIGW) ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* const config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
        throw_last_error("Couldn't read UI0Detect service configuration");
    return config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
}
}

ScopedServiceHandle open_ui0detect_service(DWORD access)
{
    const ScopedServiceHandle manager = connect_manager(SC_MANAGER_CONNECT);
    ScopedServiceHandle service = MakeScopedServiceHandle(OpenServiceW(manager.get(), Ui0DetectServiceName, access));
    if (!service)
        throw_last_error("Couldn't connect to UI0Detect service");
    return service;
}

void enable_interactive_services()
{
    const DWORD zero = 0;
    const LSTATUS status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Windows",
                                           L"NoInteractiveServices", REG_DWORD, &zero, sizeof zero);
    if (status != ERROR_SUCCESS)
        throw_system_error(static_cast<DWORD>(status), "Couldn't enable interactive services");
}

std::wstring service_image_path()
{
    constexpr const char* context = "Couldn't replace UI0Detect";
    std::wstring program;
    if (!ProgramPath(program))
        throw_last_error(context);
    if (program.size() >= MAX_PATH)
        throw_system_error(ERROR_FILENAME_EXCED_RANGE, context);
    wchar_t path[MAX_PATH];
    wmemcpy(path, program.c_str(), program.size() + 1);
    PathRemoveFileSpecW(path);

    const size_t directoryLength = wcslen(path);
    const bool needsSeparator = directoryLength == 0 || path[directoryLength - 1] != L'\\';
    const bool quoted = wcschr(path, L' ') != nullptr;
    const size_t length =
        directoryLength + (needsSeparator ? 1 : 0) + wcslen(ServiceImage) + (quoted ? 2 : 0);
    if (length >= MAX_PATH)
        throw_system_error(ERROR_FILENAME_EXCED_RANGE, context);

    const FolderVerdict folder = check_program_folder(path);
    if (folder.error != ERROR_SUCCESS)
        throw_system_error(folder.error, (std::string(context) + ": " + to_utf8(folder.reason)).c_str());
    PathAppendW(path, ServiceImage);
    PathQuoteSpacesW(path);
    return path;
}

void replace_ui0detect_image(const std::wstring& image_path)
{
    const ScopedServiceHandle service = open_ui0detect_service(SERVICE_CHANGE_CONFIG);
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_ERROR_SEVERE,
                              image_path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        throw_last_error("Couldn't replace UI0Detect");
}

void restore_ui0detect_image()
{
    const ScopedServiceHandle service = open_ui0detect_service(SERVICE_CHANGE_CONFIG);
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                              WindowsImage, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        throw_last_error("Couldn't restore UI0Detect");
}

bool ui0detect_exists()
{
    const ScopedServiceHandle manager = connect_manager(SC_MANAGER_CONNECT);
    const ScopedServiceHandle service =
        MakeScopedServiceHandle(OpenServiceW(manager.get(), Ui0DetectServiceName, SERVICE_QUERY_STATUS));
    if (service)
        return true;
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_DOES_NOT_EXIST)
        throw_system_error(error, "Couldn't connect to UI0Detect service");
    return false;
}

// Whoever can write the key could plant the mark on Windows' own entry and have the tool delete
// it: the mark counts only while the owner and the DACL keep the key to administrators.
bool ui0detect_created_by_quillon()
{
    ScopedKey key = MakeScopedKey(nullptr);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKey, 0, KEY_QUERY_VALUE | READ_CONTROL, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key.get(), CreatedMark, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value || value != 1)
        return false;

    constexpr SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    RegGetKeySecurity(key.get(), parts, nullptr, &needed);
    if (needed == 0)
        return false;
    std::vector<BYTE> descriptor(needed);
    if (RegGetKeySecurity(key.get(), parts, descriptor.data(), &needed) != ERROR_SUCCESS)
        return false;
    std::vector<BYTE> caller = caller_if_administrator();
    return !open_to_non_administrators(descriptor.data(), KEY_SET_VALUE | DELETE | WRITE_DAC | WRITE_OWNER,
                                       caller.empty() ? nullptr : caller.data());
}

// Made as Windows before 10 1803 registered it, so that everything after it runs as on those
// versions. Demand start until the replace step sets its own.
void create_ui0detect_service(const std::wstring& image_path)
{
    const ScopedServiceHandle manager = connect_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    const ScopedServiceHandle service = MakeScopedServiceHandle(
        CreateServiceW(manager.get(), Ui0DetectServiceName, WindowsDisplayName, DELETE,
                       SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_DEMAND_START,
                       SERVICE_ERROR_NORMAL, image_path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
    {
        const DWORD error = GetLastError();
        // Registered by someone else in the meantime: not ours, so left unmarked.
        if (error == ERROR_SERVICE_EXISTS)
            return;
        throw_system_error(error, "Couldn't create UI0Detect service");
    }

    const DWORD one = 1;
    const LSTATUS status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, ServiceKey, CreatedMark, REG_DWORD, &one, sizeof one);
    if (status == ERROR_SUCCESS)
        return;
    // Unmarked, it would later pass for Windows' own entry and never be removed.
    if (DeleteService(service.get()))
        throw_system_error(static_cast<DWORD>(status),
                           "Couldn't mark the new UI0Detect service as Quillon's, so removed it again");
    throw_system_error(static_cast<DWORD>(status), "Couldn't mark the new UI0Detect service as Quillon's, nor "
                                                   "remove it again (sc delete UI0Detect removes it)");
}

// Pointing the entry at Windows' program would leave one whose program does not exist here.
void remove_ui0detect_service()
{
    const ScopedServiceHandle manager = connect_manager(SC_MANAGER_CONNECT);
    bool stopped = false;
    {
        const ScopedServiceHandle service = MakeScopedServiceHandle(
            OpenServiceW(manager.get(), Ui0DetectServiceName, DELETE | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
        if (!service)
        {
            // Deleted earlier while it ran: the manager dropped it when the stop ended it.
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_DOES_NOT_EXIST)
                return;
            throw_system_error(error, "Couldn't connect to UI0Detect service");
        }
        // Someone has put another program in; deleting the entry would take it away from them.
        const std::wstring image = query_image(service.get());
        const std::wstring name = FileNameOf(ProgramOfImagePath(image));
        if (!same_name(name, ServiceImage) && !same_name(name, L"UI0Detect.exe"))
            throw_system_error(ERROR_SERVICE_EXISTS,
                               ("Left UI0Detect service in place: Quillon created it, but it runs " + to_utf8(image) +
                                " now (sc delete UI0Detect removes it)")
                                   .c_str());
        SERVICE_STATUS status{};
        stopped = QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
        if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            throw_last_error("Couldn't remove UI0Detect service");
    }

    // The manager drops the entry once its process has ended and no handle refers to it.
    const ULONGLONG giveUp = GetTickCount64() + (stopped ? DeleteWaitLimitMs : 0);
    for (;;)
    {
        const ScopedServiceHandle service =
            MakeScopedServiceHandle(OpenServiceW(manager.get(), Ui0DetectServiceName, SERVICE_QUERY_STATUS));
        if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return;
        if (GetTickCount64() >= giveUp)
            throw_system_error(ERROR_SERVICE_MARKED_FOR_DELETE,
                               "Couldn't remove UI0Detect service at once, it goes when it has stopped and no "
                               "program holds it open");
        Sleep(100);
    }
}

void stop_ui0detect_service(bool start_again)
{
    const DWORD access = SERVICE_QUERY_STATUS | SERVICE_STOP | (start_again ? SERVICE_START : 0);
    const ScopedServiceHandle service = open_ui0detect_service(access);

    SERVICE_STATUS status{};
    DWORD state = 0;
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
    {
        state = status.dwCurrentState;
    }
    else
    {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE)
            state = SERVICE_STOPPED;  // nothing runs: no wait
        else if (error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
        {
            // Not every manager fills the status of a refused control (Wine leaves it undefined
            // for 1052), so the state is read afresh.
            if (!QueryServiceStatus(service.get(), &status))
                throw_last_error("Couldn't stop UI0Detect service");
            state = status.dwCurrentState;
            if (!refused_while_stopping(error, state))
                throw_in_state(error, "Couldn't stop UI0Detect service at this point while it has been in state ",
                               state);
        }
        else
            throw_system_error(error, "Couldn't stop UI0Detect service");
    }

    if (state != SERVICE_STOPPED)
    {
        // A service that never leaves its pending state must not keep the tool waiting for ever.
        const ULONGLONG giveUp = GetTickCount64() + StopWaitLimitMs;
        for (;;)
        {
            if (!QueryServiceStatus(service.get(), &status))
                throw_last_error("Couldn't stop UI0Detect service");
            Sleep(250);
            if (status.dwCurrentState == SERVICE_STOPPED)
                break;
            if (GetTickCount64() >= giveUp)
                throw_system_error(ERROR_SERVICE_REQUEST_TIMEOUT, "Couldn't stop UI0Detect service");
        }
    }

    if (start_again && !StartServiceW(service.get(), 0, nullptr))
        throw_last_error("Couldn't start UI0Detect service");
}

void signal_tray_quit_all()
{
    const ScopedHandle event =
        MakeScopedHandle(OpenEventW(EVENT_MODIFY_STATE | READ_CONTROL, FALSE, QuitAllEventName));
    if (!event)
        return;
    // Another program made the event under our name: the trays ignore it, and setting it
    // would tell that program's waiters that the trays are going.
    if (!HasTrustedOwner(event.get()))
    {
        write_err(L"Global\\QuillonTray_QuitAll was made by another program, not by the tray helpers, and was "
                  L"not set. The tray of session 0 ends with the UI0Detect service; a tray in a user's session "
                  L"ends from its icon's menu or when the user signs out.\n");
        return;
    }
    SetEvent(event.get());
}

void send_revert_control()
{
    const ScopedServiceHandle service = open_ui0detect_service(SERVICE_USER_DEFINED_CONTROL);
    SERVICE_STATUS status{};
    if (ControlService(service.get(), RevertSessionControl, &status))
        return;
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_NOT_ACTIVE || refused_while_stopping(error, status.dwCurrentState))
        return;
    if (error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
        throw_in_state(error, "Couldn't control UI0Detect service at this point while it has been in state ",
                       status.dwCurrentState);
    throw_system_error(error, "Couldn't control UI0Detect service");
}

// The image path is checked first, so that a refused one leaves everything as it was.
void replace_procedure()
{
    const std::wstring image = service_image_path();
    if (!ui0detect_exists())
        create_ui0detect_service(image);
    enable_interactive_services();
    replace_ui0detect_image(image);
}

namespace
{
// Without an entry there is nothing to restore, and nothing of Quillon's is installed.
bool nothing_to_restore()
{
    if (ui0detect_exists())
        return false;
    write_err(L"No UI0Detect service entry, nothing to restore\n");
    return true;
}
}

void restore_procedure()
{
    signal_tray_quit_all();
    if (nothing_to_restore())
        return;
    if (ui0detect_created_by_quillon())
        remove_ui0detect_service();
    else
        restore_ui0detect_image();
}

// The event source comes last: a failure to register it leaves the service installed and
// running, which is what the administrator came for. Its events are written all the same; only
// the Event Viewer cannot show their texts until -i, run again, registers the source.
void install_procedure()
{
    replace_procedure();
    stop_ui0detect_service(true);
    register_event_source(ProgramOfImagePath(service_image_path()));
}

// The event source goes even when there is no entry: nothing of Quillon's is left behind.
void uninstall_procedure()
{
    if (nothing_to_restore())
    {
        remove_event_source();
        return;
    }
    const bool created = ui0detect_created_by_quillon();
    stop_ui0detect_service(false);
    signal_tray_quit_all();
    if (created)
        remove_ui0detect_service();
    else
        restore_ui0detect_image();
    remove_event_source();
}

void restart_procedure()
{
    stop_ui0detect_service(false);
    signal_tray_quit_all();
    stop_ui0detect_service(true);
}

void start_procedure()
{
    stop_ui0detect_service(true);
}

void stop_procedure()
{
    stop_ui0detect_service(false);
    signal_tray_quit_all();
}

void revert_procedure()
{
    send_revert_control();
}
