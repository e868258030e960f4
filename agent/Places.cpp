#include "WindowActions.h"

#include <algorithm>
#include <new>
#include <utility>

#include "session/Names.h"
#include "session/Paths.h"
#include "session/ProcessLookup.h"
#include "session/ScopedResource.h"

namespace agent::windows
{
namespace
{
// A place whose desktop shows no window this long is closed, so that the agent's handle does
// not keep a station alive that everyone else has left; it is opened again while it is there.
constexpr ULONGLONG IdlePlaceMs = 30000;
// Stations are looked for again this often: a station whose desktop the agent holds stays
// listed by name, so only new stations (and new desktops of known ones) need the enumeration.
constexpr ULONGLONG StationScanMs = 5000;

// OpenDesktopW opens in the process's window station, which every thread of the process
// shares: one switch at a time, undone at once.
std::mutex stationSwitch;

std::wstring NameOf(HANDLE object)
{
    wchar_t name[MaxPlaceUnits] = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(object, UOI_NAME, name, sizeof name - sizeof(wchar_t), &needed))
        return std::wstring();
    return name;
}

std::vector<BYTE> UserOf(HANDLE process)
{
    ScopedHandle token = MakeScopedHandle(nullptr);
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
        return {};
    return user;
}

bool SameUser(const std::vector<BYTE>& a, const std::vector<BYTE>& b)
{
    return !a.empty() && !b.empty() &&
           EqualSid(reinterpret_cast<const TOKEN_USER*>(a.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER*>(b.data())->User.Sid) != FALSE;
}

// The service's process as the service manager knows it; 0 when it does not run.
DWORD ServiceProcess()
{
    ScopedServiceHandle manager = MakeScopedServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScopedServiceHandle service = MakeScopedServiceHandle(
        manager ? OpenServiceW(manager.get(), Ui0DetectServiceName, SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD bytes = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                          sizeof status, &bytes))
        return 0;
    return status.dwProcessId;
}

BOOL CALLBACK AddName(LPWSTR name, LPARAM parameter)
{
    reinterpret_cast<std::vector<std::wstring>*>(parameter)->push_back(name);
    return TRUE;
}

struct Collecting
{
    std::vector<std::pair<HWND, DWORD>> windows;   // the visible ones and their processes
};

BOOL CALLBACK AddWindow(HWND window, LPARAM parameter)
{
    // The style bit, not IsWindowVisible: Wine reads a window of a station without display as
    // hidden, however it was shown.
    if ((GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) == 0)
        return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    reinterpret_cast<Collecting*>(parameter)->windows.emplace_back(window, processId);
    return TRUE;
}

struct Job
{
    std::shared_ptr<const Desktop> desktop;
    std::function<DWORD()> action;
    DWORD error = ERROR_TIMEOUT;
    ScopedHandle done = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
};

DWORD WINAPI JobThread(void* parameter)
{
    const std::shared_ptr<Job> job(*static_cast<std::shared_ptr<Job>*>(parameter));
    delete static_cast<std::shared_ptr<Job>*>(parameter);
    job->error = RunAttached(*job->desktop, job->action);
    SetEvent(job->done.get());
    return 0;
}
}

// Quillon's own windows are known by their processes, never by class or program name, which
// any program may take: the agent's own (the session 0 tray), the service's (its shell
// window), and the explorer helper's, which runs the program of the agent's own folder under
// the agent's own account (the service's: no user can start a process as that).
class Places::OwnProcesses
{
public:
    OwnProcesses() : service_(ServiceProcess()), user_(UserOf(GetCurrentProcess()))
    {
        // Unknown, no process is taken for the helper.
        if (!PathBesideProgram(ExplorerImage, explorer_))
            explorer_.clear();
    }

    // The window's process is one of them; otherwise its bare image name, for the list.
    bool Own(DWORD processId, std::wstring& program)
    {
        // The service may not have told the manager its process yet when the agent starts.
        if (service_ == 0)
            service_ = ServiceProcess();
        if (processId == GetCurrentProcessId() || (service_ != 0 && processId == service_))
            return true;
        ScopedHandle process =
            MakeScopedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        if (!process)
            return false;
        const std::wstring image = process_image_path(process.get());
        program = FileNameOf(image);
        return !explorer_.empty() &&
               CompareStringOrdinal(image.c_str(), -1, explorer_.c_str(), -1, TRUE) == CSTR_EQUAL &&
               SameUser(UserOf(process.get()), user_);
    }

private:
    DWORD service_;
    std::vector<BYTE> user_;
    std::wstring explorer_;
};

Desktop::~Desktop()
{
    if (own)
        return;
    if (handle != nullptr)
        CloseDesktop(handle);
    if (station != nullptr)
        CloseWindowStation(station);
}

DWORD RunAttached(const Desktop& desktop, const std::function<DWORD()>& action)
{
    if (desktop.own)
        return action();
    const HDESK original = GetThreadDesktop(GetCurrentThreadId());
    // Wine closes the desktop handle a thread holds when the thread ends: the thread takes a
    // copy of its own.
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), desktop.handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return GetLastError();
    const auto handle = static_cast<HDESK>(copy);
    DWORD error = 0;
    {
        // A thread may take only a desktop of its process's window station (Wine refuses any
        // other with ERROR_ACCESS_DENIED): the station is the process's for that moment.
        std::lock_guard<std::mutex> lock(stationSwitch);
        const HWINSTA previous = GetProcessWindowStation();
        if (!SetProcessWindowStation(desktop.station) || !SetThreadDesktop(handle))
            error = GetLastError();
        SetProcessWindowStation(previous);
    }
    if (error != 0)
    {
        CloseDesktop(handle);
        return error;
    }
    try
    {
        error = action();
    }
    catch (const std::bad_alloc&)
    {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    // Back on its own desktop the thread no longer uses the copy, which then closes on every
    // system alike (should the way back fail, Wine closes it at the thread's end).
    if (original != nullptr && SetThreadDesktop(original))
        CloseDesktop(handle);
    return error;
}

Places::Places(HDESK own)
    : own_(std::make_shared<const Desktop>(GetProcessWindowStation(), own,
                                           NameOf(GetProcessWindowStation()) + L"\\" + NameOf(own), true)),
      ownProcesses_(std::make_unique<OwnProcesses>())
{
}

Places::~Places() = default;

void Places::OpenNewStations()
{
    std::vector<std::wstring> stations;
    EnumWindowStationsW(AddName, reinterpret_cast<LPARAM>(&stations));
    // A place whose station has gone goes with it.
    places_.erase(std::remove_if(places_.begin(), places_.end(),
                                 [&](const Place& place) {
                                     const std::wstring& name = place.desktop->place;
                                     const std::wstring station = name.substr(0, name.find(L'\\'));
                                     return std::find(stations.begin(), stations.end(), station) == stations.end();
                                 }),
                  places_.end());
    const ULONGLONG now = GetTickCount64();
    for (const std::wstring& station : stations)
    {
        ScopedResource<HWINSTA, BOOL(WINAPI*)(HWINSTA)> opened(
            CloseWindowStation, OpenWindowStationW(station.c_str(), FALSE, WINSTA_ENUMDESKTOPS));
        if (!opened)
            continue;
        std::vector<std::wstring> desktops;
        EnumDesktopsW(opened.get(), AddName, reinterpret_cast<LPARAM>(&desktops));
        if (std::find(desktops.begin(), desktops.end(), L"Default") == desktops.end())
            desktops.push_back(L"Default");
        for (const std::wstring& name : desktops)
        {
            const std::wstring place = station + L"\\" + name;
            if (place == own_->place || std::any_of(places_.begin(), places_.end(), [&](const Place& known) {
                    return known.desktop->place == place;
                }))
                continue;
            HDESK desktop = nullptr;
            {
                std::lock_guard<std::mutex> lock(stationSwitch);
                const HWINSTA previous = GetProcessWindowStation();
                if (!SetProcessWindowStation(opened.get()))
                    continue;
                // Reading its windows, and a thread of the agent attached to it acting on them.
                desktop = OpenDesktopW(name.c_str(), 0, FALSE,
                                       DESKTOP_READOBJECTS | DESKTOP_ENUMERATE | DESKTOP_WRITEOBJECTS);
                SetProcessWindowStation(previous);
            }
            if (desktop == nullptr)
                continue;
            // Each place holds a handle of its station of its own: a thread is attached to the
            // desktop with its station the process's for a moment.
            HWINSTA held = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), opened.get(), GetCurrentProcess(),
                                 reinterpret_cast<HANDLE*>(&held), 0, FALSE, DUPLICATE_SAME_ACCESS))
            {
                CloseDesktop(desktop);
                continue;
            }
            places_.push_back(Place{std::make_shared<const Desktop>(held, desktop, place, false), now});
        }
    }
}

std::vector<Listed> Places::List()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const ULONGLONG now = GetTickCount64();
    places_.erase(std::remove_if(places_.begin(), places_.end(),
                                 [&](const Place& place) { return now - place.lastWindow > IdlePlaceMs; }),
                  places_.end());
    if (lastScan_ == 0 || now - lastScan_ >= StationScanMs)
    {
        lastScan_ = now;
        OpenNewStations();
    }

    std::vector<Listed> listed;
    std::map<HWND, Known> seen;
    const auto listPlace = [&](const std::shared_ptr<const Desktop>& desktop) {
        Collecting collecting;
        EnumDesktopWindows(desktop->handle, AddWindow, reinterpret_cast<LPARAM>(&collecting));
        size_t shown = 0;
        for (const auto& [window, processId] : collecting.windows)
        {
            // A window's program is looked up once while the window lives: opening the process
            // of every window at every refresh is what made listing cost.
            auto known = known_.find(window);
            if (known == known_.end() || known->second.processId != processId)
            {
                Known fresh;
                fresh.processId = processId;
                fresh.own = ownProcesses_->Own(processId, fresh.program);
                known = known_.insert_or_assign(window, std::move(fresh)).first;
            }
            seen.insert(*known);
            ++shown;
            if (known->second.own)
                continue;
            Listed entry;
            entry.window = window;
            entry.processId = processId;
            entry.program = known->second.program;
            // Read from the window manager, not asked of the window: a hung window cannot hold
            // the list.
            wchar_t title[512] = {};
            const int length = InternalGetWindowText(window, title, ARRAYSIZE(title));
            entry.title.assign(title, length > 0 ? length : 0);
            entry.desktop = desktop;
            listed.push_back(std::move(entry));
        }
        return shown;
    };
    listPlace(own_);
    for (Place& place : places_)
        if (listPlace(place.desktop) != 0)
            place.lastWindow = now;
    known_.swap(seen);
    return listed;
}

bool Places::Find(uint32_t id, Listed& found)
{
    for (Listed& entry : List())
    {
        if (IdOf(entry.window) != id)
            continue;
        found = std::move(entry);
        return true;
    }
    return false;
}

DWORD OnDesktop(const std::shared_ptr<const Desktop>& desktop, DWORD timeoutMs, std::function<DWORD()> action)
{
    if (desktop == nullptr || desktop->own)
        return action();
    auto job = std::make_shared<Job>();
    job->desktop = desktop;
    job->action = std::move(action);
    auto held = std::make_unique<std::shared_ptr<Job>>(job);
    const ScopedHandle thread = job->done ? MakeScopedHandle(CreateThread(nullptr, 0, JobThread, held.get(), 0, nullptr))
                                          : MakeScopedHandle(nullptr);
    if (!thread)
        return ERROR_NOT_ENOUGH_MEMORY;
    held.release();
    if (WaitForSingleObject(job->done.get(), timeoutMs) != WAIT_OBJECT_0)
        return ERROR_TIMEOUT;
    return job->error;
}
}
