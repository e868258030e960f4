#include "Ui0Detect.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "FolderSecurity.h"
#include "session/ProgramPath.h"
#include "session/SystemError.h"

namespace
{
constexpr const wchar_t* WindowsImage = L"%SystemRoot%\\System32\\UI0Detect.exe";
constexpr const wchar_t* ServiceImageName = L"Quillon.exe";
constexpr const wchar_t* QuitAllEventName = L"Global\\QuillonTray_QuitAll";

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
}

ScopedServiceHandle open_ui0detect_service(DWORD access)
{
    const ScopedServiceHandle manager = MakeScopedServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        throw_last_error("Couldn't connect to service control manager");
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
        directoryLength + (needsSeparator ? 1 : 0) + wcslen(ServiceImageName) + (quoted ? 2 : 0);
    if (length >= MAX_PATH)
        throw_system_error(ERROR_FILENAME_EXCED_RANGE, context);

    check_program_folder(path);
    PathAppendW(path, ServiceImageName);
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
    const ScopedHandle event = MakeScopedHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, QuitAllEventName));
    if (event)
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
    enable_interactive_services();
    replace_ui0detect_image(image);
}

void restore_procedure()
{
    signal_tray_quit_all();
    restore_ui0detect_image();
}

void install_procedure()
{
    const std::wstring image = service_image_path();
    enable_interactive_services();
    replace_ui0detect_image(image);
    stop_ui0detect_service(true);
}

void uninstall_procedure()
{
    stop_ui0detect_service(false);
    signal_tray_quit_all();
    restore_ui0detect_image();
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
