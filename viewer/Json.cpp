#include "Json.h"

#include <cstdio>

namespace json
{
namespace
{
void AppendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80)
    {
        out += static_cast<char>(code);
    }
    else if (code < 0x800)
    {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    else if (code < 0x10000)
    {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void AppendEscape(std::string& out, unsigned unit)
{
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04X", unit);
    out += escaped;
}
}

std::string Quoted(const std::wstring& text)
{
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (size_t i = 0; i < text.size(); ++i)
    {
        const unsigned unit = static_cast<uint16_t>(text[i]);
        if (unit == '"' || unit == '\\')
        {
            out += '\\';
            out += static_cast<char>(unit);
        }
        else if (unit < 0x20)
        {
            AppendEscape(out, unit);
        }
        else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
                 static_cast<uint16_t>(text[i + 1]) >= 0xDC00 && static_cast<uint16_t>(text[i + 1]) <= 0xDFFF)
        {
            const unsigned low = static_cast<uint16_t>(text[++i]);
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        }
        else if (unit >= 0xD800 && unit <= 0xDFFF)
        {
            AppendEscape(out, unit);
        }
        else
        {
            AppendUtf8(out, unit);
        }
    }
    return out + "\"";
}

void Object::Name(const char* name)
{
    if (body_.size() > 1)
        body_ += ',';
    body_ += '"';
    body_ += name;
    body_ += "\":";
}

Object& Object::Text(const char* name, const std::wstring& value)
{
    Name(name);
    body_ += Quoted(value);
    return *this;
}

Object& Object::Number(const char* name, int64_t value)
{
    Name(name);
    body_ += std::to_string(value);
    return *this;
}

Object& Object::Boolean(const char* name, bool value)
{
    Name(name);
    body_ += value ? "true" : "false";
    return *this;
}

std::string Array(const std::vector<std::string>& objects)
{
    if (objects.empty())
        return "[]\n";
    std::string out = "[\n";
    for (size_t i = 0; i < objects.size(); ++i)
        out += objects[i] + (i + 1 < objects.size() ? ",\n" : "\n");
    return out + "]\n";
}
}
