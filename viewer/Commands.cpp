#include "Commands.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <vector>

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
    "  QuillonViewer --list                one line per window: ID<TAB>PID<TAB>PROGRAM<TAB>TITLE\n"
    "  QuillonViewer --save ID FILE.png    the window's image as a PNG file\n"
    "  QuillonViewer --click ID X Y        left click at X,Y of the window's image\n"
    "  QuillonViewer --type ID TEXT        characters to the focused control of the window\n"
    "  QuillonViewer --key ID KEY          ENTER, ESCAPE, TAB, SPACE, BACKSPACE, UP, DOWN, LEFT or RIGHT\n"
    "  QuillonViewer --close ID            asks the window to close\n"
    "ID is 0x and eight hexadecimal digits, as --list prints it.\n";

struct Command
{
    enum Kind
    {
        List,
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
    if (option == L"--list")
        return needs(Command::List, 1);
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

void run(const Command& command)
{
    agent::Client client = agent::Client::Connect();
    if (command.kind == Command::List)
    {
        // Titles and names come from programs of other accounts: a tab or line break in them
        // must not make one window look like two, nor a bidirectional control disguise a line.
        std::wstring list;
        for (const agent::WindowEntry& entry : client.List())
            list += format_window_id(entry.window) + L'\t' + std::to_wstring(entry.processId) + L'\t' +
                    DisplayText(entry.program) + L'\t' + DisplayText(entry.title) + L'\n';
        write_out(list);
        return;
    }
    require_listed(client, command.window);
    switch (command.kind)
    {
    case Command::Save:
    {
        const agent::Image image = client.Capture(command.window);
        if (image.pixels.size() != static_cast<size_t>(image.width) * image.height)
            throw_system_error(ERROR_INVALID_DATA, "The agent sent an image of the wrong size");
        png::SaveFile(command.text, png::Encode(image.width, image.height, image.pixels.data()));
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
        run(command);
        return 0;
    }
    catch (const std::exception& error)
    {
        print_failure(error);
    }
    return 1;
}
