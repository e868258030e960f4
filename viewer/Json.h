#pragma once

// JSON for scripts (PowerShell's ConvertFrom-Json and the like), as UTF-8 text. Texts come from
// other programs and may hold anything UTF-16 can: quotes, backslashes and control characters
// are escaped, and an unpaired surrogate, which has no UTF-8 form, is written as \uXXXX, so
// that the output is always valid UTF-8 and valid JSON.

#include <cstdint>
#include <string>
#include <vector>

namespace json
{
// The text as a JSON string, quotes included.
std::string Quoted(const std::wstring& text);

// One object, its fields in the order they are added.
class Object
{
public:
    Object& Text(const char* name, const std::wstring& value);
    Object& Number(const char* name, int64_t value);
    Object& Boolean(const char* name, bool value);
    std::string Close() const { return body_ + "}"; }

private:
    void Name(const char* name);
    std::string body_ = "{";
};

// The objects as one array, one object to a line.
std::string Array(const std::vector<std::string>& objects);
}
