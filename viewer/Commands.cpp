#include "Commands.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <vector>

#include "Controls.h"
#include "Json.h"
#include "Png.h"
#include "agent/AgentClient.h"
#include "session/Console.h"
#include "session/DisplayText.h"
#include "session/ScopedResource.h"
#include "session/SystemError.h"

namespace
{
constexpr const char* Usage =
    "Usage:\n"
    "  QuillonViewer                       show the session 0 windows in a window\n"
    "  QuillonViewer --select ID           the same, with that window selected\n"
    "  QuillonViewer --list [--json]       one line per window: ID<TAB>PID<TAB>PROGRAM<TAB>TITLE<TAB>PLACE\n"
    "  QuillonViewer --controls ID [--json]\n"
    "                                      one line per control of the window: CONTROL<TAB>ID<TAB>CLASS<TAB>\n"
    "                                      TEXT<TAB>LEFT,TOP,RIGHT,BOTTOM<TAB>STATES\n"
    "  QuillonViewer --press ID TEXT       clicks the one enabled button whose text (without &, any case) is TEXT\n"
    "  QuillonViewer --save ID FILE.png    the window's image as a PNG file\n"
    "  QuillonViewer --click ID X Y        left click at X,Y of the window's image\n"
    "  QuillonViewer --type ID TEXT        characters to the focused control of the window\n"
    "  QuillonViewer --key ID KEY          ENTER, ESCAPE, TAB, SPACE, BACKSPACE, UP, DOWN, LEFT or RIGHT\n"
    "  QuillonViewer --close ID            asks the window to close\n"
    "ID is 0x and eight hexadecimal digits, as --list prints it. --json prints a JSON array instead.\n";

struct Command
{
    enum Kind
    {
        List,
        Controls,
        Press,
        Save,
        Click,
        Type,
        Key,
        Close
    } kind;
    uint32_t window = 0;
    std::wstring text;   // file or characters
    int32_t x = 0;
    int32_t y = 0;
    uint16_t key = 0;
    bool json = false;
};

bool parse_coordinate(const wchar_t* text, int32_t* value)
{
    // Decimal, unsigned, no sign or spaces: what the image of a window can be clicked at.
    const size_t length = wcslen(text);
    if (length == 0 || length > 5)
        return false;
    int32_t result = 0;
    for (size_t i = 0; i < length; ++i)
    {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        result = result * 10 + (text[i] - L'0');
    }
    *value = result;
    return true;
}

bool parse_key(const wchar_t* text, uint16_t* key)
{
    static const struct
    {
        const wchar_t* name;
        uint16_t key;
    } keys[] = {{L"ENTER", VK_RETURN}, {L"ESCAPE", VK_ESCAPE}, {L"TAB", VK_TAB},   {L"SPACE", VK_SPACE},
                {L"BACKSPACE", VK_BACK}, {L"UP", VK_UP},       {L"DOWN", VK_DOWN}, {L"LEFT", VK_LEFT},
                {L"RIGHT", VK_RIGHT}};
    for (const auto& entry : keys)
        if (wcscmp(text, entry.name) == 0)
        {
            *key = entry.key;
            return true;
        }
    return false;
}

// Exact, case-sensitive options, each with its exact number of arguments.
bool parse_command(int count, LPWSTR* arguments, Command* command)
{
    const std::wstring option = arguments[0];
    const auto needs = [&](Command::Kind kind, int total) {
        command->kind = kind;
        return count == total && (total == 1 || parse_window_id(arguments[1], &command->window));
    };
    // The window, then a file or characters: not empty.
    const auto needs_text = [&](Command::Kind kind) {
        if (!needs(kind, 3) || *arguments[2] == L'\0')
            return false;
        command->text = arguments[2];
        return true;
    };
    // JSON for scripts, after the two commands that print a list.
    if ((option == L"--list" || option == L"--controls") && wcscmp(arguments[count - 1], L"--json") == 0)
    {
        command->json = true;
        --count;
    }
    if (option == L"--list")
        return needs(Command::List, 1);
    if (option == L"--controls")
        return needs(Command::Controls, 2);
    if (option == L"--press")
        return needs_text(Command::Press);
    if (option == L"--save")
        return needs_text(Command::Save);
    if (option == L"--click")
        return needs(Command::Click, 4) && parse_coordinate(arguments[2], &command->x) &&
               parse_coordinate(arguments[3], &command->y);
    if (option == L"--type")
        return needs_text(Command::Type);
    if (option == L"--key")
        return needs(Command::Key, 3) && parse_key(arguments[2], &command->key);
    if (option == L"--close")
        return needs(Command::Close, 2);
    return false;
}

void require_listed(agent::Client& client, uint32_t window)
{
    for (const agent::WindowEntry& entry : client.List())
        if (entry.window == window)
            return;
    const std::string context = to_utf8(format_window_id(window)) + " is not a window on the session 0 desktop";
    throw_system_error(ERROR_INVALID_WINDOW_HANDLE, context.c_str());
}

// "station\desktop" in its two names; a place without a desktop is all station.
void split_place(const std::wstring& place, std::wstring* station, std::wstring* desktop)
{
    const size_t slash = place.find(L'\\');
    *station = place.substr(0, slash);
    *desktop = slash == std::wstring::npos ? std::wstring() : place.substr(slash + 1);
}

void print_list(const std::vector<agent::WindowEntry>& windows, bool json)
{
    if (json)
    {
        std::vector<std::string> objects;
        for (const agent::WindowEntry& entry : windows)
        {
            std::wstring station, desktop;
            split_place(entry.place, &station, &desktop);
            objects.push_back(json::Object()
                                  .Text("id", format_window_id(entry.window))
                                  .Number("pid", entry.processId)
                                  .Text("program", entry.program)
                                  .Text("title", entry.title)
                                  .Text("station", station)
                                  .Text("desktop", desktop)
                                  .Close());
        }
        return write_out_utf8(json::Array(objects));
    }
    // Titles and names come from programs of other accounts: a tab or line break in them
    // must not make one window look like two, nor a bidirectional control disguise a line.
    std::wstring list;
    for (const agent::WindowEntry& entry : windows)
        list += format_window_id(entry.window) + L'\t' + std::to_wstring(entry.processId) + L'\t' +
                DisplayText(entry.program) + L'\t' + DisplayText(entry.title) + L'\t' + DisplayText(entry.place) + L'\n';
    write_out(list);
}

void print_controls(const std::vector<agent::Control>& controls, bool json)
{
    if (json)
    {
        std::vector<std::string> objects;
        for (const agent::Control& control : controls)
            objects.push_back(json::Object()
                                  .Text("control", format_window_id(control.control))
                                  .Number("id", control.id)
                                  .Text("class", control.className)
                                  .Text("text", control.text)
                                  .Number("left", control.left)
                                  .Number("top", control.top)
                                  .Number("right", control.right)
                                  .Number("bottom", control.bottom)
                                  .Boolean("enabled", (control.state & agent::ControlEnabled) != 0)
                                  .Boolean("visible", (control.state & agent::ControlVisible) != 0)
                                  .Boolean("checked", (control.state & agent::ControlChecked) != 0)
                                  .Boolean("focused", (control.state & agent::ControlFocused) != 0)
                                  .Boolean("default", (control.state & agent::ControlDefault) != 0)
                                  .Boolean("withheld", (control.state & agent::ControlTextWithheld) != 0)
                                  .Close());
        return write_out_utf8(json::Array(objects));
    }
    std::wstring lines;
    for (const agent::Control& control : controls)
        lines += format_window_id(control.control) + L'\t' + std::to_wstring(control.id) + L'\t' +
                 DisplayText(control.className) + L'\t' + DisplayText(control.text) + L'\t' +
                 std::to_wstring(control.left) + L',' + std::to_wstring(control.top) + L',' +
                 std::to_wstring(control.right) + L',' + std::to_wstring(control.bottom) + L'\t' +
                 viewer::StateWords(control.state) + L'\n';
    write_out(lines);
}

// Presses the one button of that text; otherwise says on one line why nothing was pressed.
bool press(agent::Client& client, uint32_t window, const std::wstring& text)
{
    const std::vector<agent::Control> controls = client.Describe(window);
    const std::vector<size_t> found = viewer::MatchingButtons(controls, text);
    if (found.size() == 1)
    {
        client.Press(window, controls[found[0]].control);
        return true;
    }
    const std::wstring where = L" \"" + DisplayText(text) + L"\" in window " + format_window_id(window);
    if (found.size() > 1)
    {
        write_err(std::to_wstring(found.size()) + L" enabled buttons" + where + L"\n");
        return false;
    }
    std::wstring buttons;
    for (const agent::Control& control : controls)
        if (viewer::IsPressable(control))
            buttons += (buttons.empty() ? L"" : L", ") + DisplayText(viewer::ButtonLabel(control.text));
    write_err(L"no enabled button" + where +
              (buttons.empty() ? std::wstring(L": it has none") : L": its buttons are " + buttons) + L"\n");
    return false;
}

int run(const Command& command)
{
    agent::Client client = agent::Client::Connect();
    if (command.kind == Command::List)
    {
        print_list(client.List(), command.json);
        return 0;
    }
    require_listed(client, command.window);
    switch (command.kind)
    {
    case Command::Controls:
        print_controls(client.Describe(command.window), command.json);
        break;
    case Command::Press:
        return press(client, command.window, command.text) ? 0 : 1;
    case Command::Save:
    {
        const agent::Image image = client.Capture(command.window);
        if (image.pixels.size() != static_cast<size_t>(image.width) * image.height)
            throw_system_error(ERROR_INVALID_DATA, "The agent sent an image of the wrong size");
        png::SaveFile(command.text, png::Encode(image.width, image.height, image.pixels.data()));
        // Saved all the same: the controls are where the picture shows them.
        if (image.drawn)
            write_err(L"The picture of " + format_window_id(command.window) +
                      L" was drawn from the window's structure: the platform did not draw the window.\n");
        break;
    }
    case Command::Click:
        client.Click(command.window, command.x, command.y);
        break;
    case Command::Type:
        client.Text(command.window, command.text);
        break;
    case Command::Key:
        client.Key(command.window, command.key);
        break;
    case Command::Close:
        client.Close(command.window);
        break;
    case Command::List:
        break;
    }
    return 0;
}
}

std::wstring format_window_id(uint32_t window)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", window);
    return text;
}

bool parse_window_id(const wchar_t* text, uint32_t* window)
{
    if (wcslen(text) != 10 || text[0] != L'0' || text[1] != L'x')
        return false;
    uint32_t value = 0;
    for (int i = 2; i < 10; ++i)
    {
        const wchar_t c = text[i];
        uint32_t digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else
            return false;
        value = value << 4 | digit;
    }
    *window = value;
    return true;
}

int run_viewer_command(const wchar_t* commandLine)
{
    ScopedLocal<LPWSTR*> arguments = MakeScopedLocal<LPWSTR*>(nullptr);
    try
    {
        int count = 0;
        arguments = split_command_line(commandLine, &count);
        Command command{};
        if (count < 1 || !parse_command(count, arguments.get(), &command))
        {
            write_err(widen(Usage));
            return 1;
        }
        return run(command);
    }
    catch (const std::exception& error)
    {
        print_failure(error);
    }
    return 1;
}
