#pragma once

// The channel between the session 0 agent (the session 0 copy of QuillonTray.exe) and its
// clients (QuillonViewer.exe): one local named pipe in message mode. Every message is a header
// and a payload; integers are little-endian, texts UTF-16 without terminator, window ids the
// low 32 bits of the window handle (which is all a handle carries between processes).

#include <cstdint>
#include <string>
#include <vector>

namespace agent
{
constexpr const wchar_t* PipeName = L"\\\\.\\pipe\\QuillonSession0Agent";
// The read-only feed (Watch alone) has a pipe of its own, which the interactive users of the
// sessions may open as well: its connections never take an administrator's place.
constexpr const wchar_t* FeedPipeName = L"\\\\.\\pipe\\QuillonSession0Feed";

constexpr uint32_t Magic = 0x31415651;   // "QVA1"
// Version 2 added Watch; version 3 the windows of every window station (Windows, Follow,
// Picture) and their controls (Describe, Press). A request goes with the lowest version that
// has its type, and its answer comes back with the request's version, so that clients of
// version 1 keep working and a newer client still works with an older agent for every request
// the older one has.
constexpr uint16_t Version = 3;
constexpr uint16_t FirstVersion = 1;

// Clients at once, per pipe: administrators' viewers; every user session's tray while it
// follows the feed. Each has a thread of the agent, all of which its stop waits on in one call.
constexpr uint32_t MaxInstances = 16;
constexpr uint32_t MaxFeedInstances = 40;
// Feed connections of one account that is not an administrator's, and the time a new
// connection has to send its first whole request.
constexpr uint32_t MaxFeedPerAccount = 4;
constexpr uint32_t FirstRequestTimeoutMs = 5000;
constexpr uint32_t MaxRequestPayload = 4096;       // a request larger than this ends its connection
constexpr uint32_t MaxTextUnits = 1024;            // characters of one Text request
constexpr uint32_t MaxCaptureSide = 4096;          // pixels per side of one captured image
// The largest answer, a whole capture: status, width, height, hash, unchanged, then the pixels.
constexpr uint32_t MaxResponsePayload = 4 + 4 + 4 + 8 + 1 + MaxCaptureSide * MaxCaptureSide * 4;
constexpr uint32_t IoTimeoutMs = 5000;             // a client slower than this loses its connection
constexpr uint32_t WindowTimeoutMs = 2000;         // a window that does not answer fails the request
constexpr uint32_t MaxWatchWaitMs = 30000;         // the longest a Watch request is held without a change
constexpr uint32_t MaxFeedTextUnits = 256;         // characters of a title or program in a Watch answer

enum class Request : uint16_t
{
    List = 1,      // no payload
    Capture = 2,   // u32 window, u64 hash of the image the client already has (0: none)
    Click = 3,     // u32 window, i32 x, i32 y (window coordinates), u8 button (0 left, 1 right), u8 double
    Text = 4,      // u32 window, UTF-16 characters
    Key = 5,       // u32 window, u16 virtual-key code
    Close = 6,     // u32 window
    // Version 2. The one request that the interactive user of a session may make, not only an
    // elevated administrator: names and times, never an image or input. u32 sequence the client
    // has (0: none), u32 longest wait in ms (at most MaxWatchWaitMs). Answered at once when the
    // agent's sequence differs, else at the first change or when the wait is over.
    Watch = 7,
    // Version 3.
    Windows = 8,    // as List, each window with its place (station and desktop)
    Follow = 9,     // as Watch, each window with its place; the feed's pipe serves it too
    Describe = 10,  // u32 window: its controls
    Press = 11,     // u32 window, u32 control: clicks the control, an enabled button of the window
    Picture = 12,   // as Capture; the answer says whether the platform drew the picture
};

constexpr uint16_t VersionOf(Request type)
{
    return type >= Request::Windows ? 3 : type == Request::Watch ? 2 : 1;
}

// A response has the request's type with this bit set, the request's id, and a payload that
// starts with a u32 Win32 error code (0: done). After a 0 come:
//   List:    u32 count, then per window: u32 window, u32 process id, u16 program units,
//            u16 title units, the program's bare image name, the title
//   Capture: u32 width, u32 height, u64 hash, u8 unchanged (1: same image as the hash sent,
//            no pixels follow), then width * height pixels, 32-bit BGRA, rows top-down
//   Watch:   u32 sequence, u32 count, then per window: u32 window, u64 appeared, u64 last flash
//            (0: none; both FILETIME, UTC), u16 program units, u16 title units, the program's
//            bare image name, the title (each at most MaxFeedTextUnits)
//   Windows: as List, with u16 place units after the title units and the place after the title
//   Follow:  as Watch, with u16 place units after the title units and the place after the title
//   Describe: u32 count, then per control: u32 control, u32 id, i32 left, i32 top, i32 right,
//            i32 bottom (within the window), u16 ControlState bits, u16 class units, u16 text
//            units, the class, the text (at most MaxControlTextUnits; at most MaxControls)
//   Picture: as Capture, with u8 drawn (1: the platform did not draw the window, the picture
//            is drawn from its structure) after unchanged
//   others:  nothing
// A Capture (version 1) of a window the platform does not draw fails with ERROR_NOT_SUPPORTED:
// a client that cannot tell a drawn picture from the window gets none.
constexpr uint16_t ResponseBit = 0x8000;

constexpr uint32_t MaxControls = 512;             // controls of one window in a Describe answer
constexpr uint32_t MaxControlTextUnits = 1024;    // characters of one control's text
constexpr uint32_t MaxPlaceUnits = 256;           // characters of "station\desktop"

// The place of the windows a user sees on session 0's console.
constexpr const wchar_t* InteractivePlace = L"WinSta0\\Default";

// What a control's state bits say.
enum ControlState : uint16_t
{
    ControlEnabled = 1,
    ControlVisible = 2,
    ControlChecked = 4,
    ControlFocused = 8,
    ControlDefault = 16,
    ControlIndeterminate = 32,   // a three-state check box in its third state
    ControlTextWithheld = 64,    // a password field: its text is never read
};

#pragma pack(push, 1)
struct Header
{
    uint32_t magic;
    uint16_t version;
    uint16_t type;
    uint32_t id;
    uint32_t length;   // payload bytes after the header
};
#pragma pack(pop)
static_assert(sizeof(Header) == 16, "the header is 16 bytes on the wire");

// What the answers carry.
struct WindowEntry
{
    uint32_t window = 0;
    uint32_t processId = 0;
    std::wstring program;   // bare image name
    std::wstring title;
    std::wstring place;     // "station\desktop"; empty from a List (version 1) answer
};

// A control of a window (a child window, at any depth), as Describe tells it.
struct Control
{
    uint32_t control = 0;   // the child window's id, as window ids are
    uint32_t id = 0;        // its dialog control id (GetDlgCtrlID), 0xFFFF for most static texts
    int32_t left = 0;       // rectangle within the window's top-left corner, in pixels
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    uint16_t state = 0;     // ControlState bits
    std::wstring className;
    std::wstring text;
};

// A window as the feed tells it: names and times only.
struct FeedWindow
{
    uint32_t window = 0;
    uint64_t appeared = 0;   // FILETIME, UTC
    uint64_t flashed = 0;    // last flash; 0: none seen
    std::wstring program;
    std::wstring title;
    std::wstring place;      // empty from a Watch (version 2) answer
};

struct Feed
{
    uint32_t sequence = 0;
    std::vector<FeedWindow> windows;
};

struct Image
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t hash = 0;
    bool unchanged = false;          // the image is the one whose hash was sent; no pixels
    bool drawn = false;              // drawn from the window's structure, not by the window
    std::vector<uint32_t> pixels;    // 0xAARRGGBB as BGRA in memory, rows top-down
};
}
