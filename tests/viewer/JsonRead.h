#pragma once

// A strict reader of the JSON the viewer writes, for its tests: RFC 8259 values from UTF-8 text,
// strings as UTF-16 (a \uXXXX escape of an unpaired surrogate kept as that unit). Anything it
// does not take whole is a failure, so that a test sees malformed output.

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace jsonread
{
struct Value
{
    enum Kind
    {
        Null,
        Boolean,
        Number,
        String,
        Array,
        Object
    } kind = Null;
    bool boolean = false;
    double number = 0;
    std::wstring string;
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> fields;   // in order, names as written (ASCII here)

    const Value* Field(const std::string& name) const
    {
        for (const auto& field : fields)
            if (field.first == name)
                return &field.second;
        return nullptr;
    }
};

class Reader
{
public:
    explicit Reader(const std::string& text) : text_(text) {}

    // The one value of the text, with nothing but white space around it; false when malformed.
    bool Read(Value* value)
    {
        return ValidUtf8() && Parse(value) && (Space(), at_ == text_.size());
    }

private:
    bool ValidUtf8() const
    {
        return text_.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text_.data(),
                                                    static_cast<int>(text_.size()), nullptr, 0) > 0;
    }
    void Space()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }
    bool Word(const char* word)
    {
        const std::string w(word);
        if (text_.compare(at_, w.size(), w) != 0)
            return false;
        at_ += w.size();
        return true;
    }
    bool Parse(Value* value)
    {
        Space();
        if (at_ >= text_.size())
            return false;
        const char c = text_[at_];
        if (c == '{')
            return ParseObject(value);
        if (c == '[')
            return ParseArray(value);
        if (c == '"')
            return (value->kind = Value::String, ParseString(&value->string));
        if (Word("true"))
            return (value->kind = Value::Boolean, value->boolean = true, true);
        if (Word("false"))
            return (value->kind = Value::Boolean, value->boolean = false, true);
        if (Word("null"))
            return (value->kind = Value::Null, true);
        return ParseNumber(value);
    }
    bool ParseNumber(Value* value)
    {
        const size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        if (at_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[at_])))
            return false;
        if (text_[at_] == '0' && at_ + 1 < text_.size() && isdigit(static_cast<unsigned char>(text_[at_ + 1])))
            return false;   // no leading zeros
        while (at_ < text_.size() && isdigit(static_cast<unsigned char>(text_[at_])))
            ++at_;
        value->kind = Value::Number;
        value->number = std::stod(text_.substr(start, at_ - start));
        return true;
    }
    bool ParseString(std::wstring* out)
    {
        ++at_;   // the quote
        std::string raw;
        for (;;)
        {
            if (at_ >= text_.size())
                return false;
            const unsigned char c = text_[at_++];
            if (c == '"')
                break;
            if (c < 0x20)
                return false;   // control characters only escaped
            if (c != '\\')
            {
                raw += static_cast<char>(c);
                continue;
            }
            Flush(&raw, out);
            if (at_ >= text_.size())
                return false;
            const char e = text_[at_++];
            switch (e)
            {
            case '"': *out += L'"'; break;
            case '\\': *out += L'\\'; break;
            case '/': *out += L'/'; break;
            case 'b': *out += L'\b'; break;
            case 'f': *out += L'\f'; break;
            case 'n': *out += L'\n'; break;
            case 'r': *out += L'\r'; break;
            case 't': *out += L'\t'; break;
            case 'u':
            {
                if (at_ + 4 > text_.size())
                    return false;
                unsigned unit = 0;
                for (int i = 0; i < 4; ++i)
                {
                    const char h = text_[at_++];
                    unit <<= 4;
                    if (h >= '0' && h <= '9') unit |= h - '0';
                    else if (h >= 'a' && h <= 'f') unit |= h - 'a' + 10;
                    else if (h >= 'A' && h <= 'F') unit |= h - 'A' + 10;
                    else return false;
                }
                *out += static_cast<wchar_t>(unit);
                break;
            }
            default:
                return false;
            }
        }
        Flush(&raw, out);
        return true;
    }
    static void Flush(std::string* raw, std::wstring* out)
    {
        if (raw->empty())
            return;
        const int size = MultiByteToWideChar(CP_UTF8, 0, raw->data(), static_cast<int>(raw->size()), nullptr, 0);
        std::wstring wide(size, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, raw->data(), static_cast<int>(raw->size()), &wide[0], size);
        *out += wide;
        raw->clear();
    }
    bool ParseArray(Value* value)
    {
        value->kind = Value::Array;
        ++at_;
        Space();
        if (at_ < text_.size() && text_[at_] == ']')
            return ++at_, true;
        for (;;)
        {
            value->items.emplace_back();
            if (!Parse(&value->items.back()))
                return false;
            Space();
            if (at_ >= text_.size())
                return false;
            const char c = text_[at_++];
            if (c == ']')
                return true;
            if (c != ',')
                return false;
        }
    }
    bool ParseObject(Value* value)
    {
        value->kind = Value::Object;
        ++at_;
        Space();
        if (at_ < text_.size() && text_[at_] == '}')
            return ++at_, true;
        for (;;)
        {
            Space();
            std::wstring name;
            if (at_ >= text_.size() || text_[at_] != '"' || !ParseString(&name))
                return false;
            Space();
            if (at_ >= text_.size() || text_[at_++] != ':')
                return false;
            Value field;
            if (!Parse(&field))
                return false;
            value->fields.emplace_back(std::string(name.begin(), name.end()), std::move(field));
            Space();
            if (at_ >= text_.size())
                return false;
            const char c = text_[at_++];
            if (c == '}')
                return true;
            if (c != ',')
                return false;
        }
    }

    const std::string& text_;
    size_t at_ = 0;
};

inline bool Parse(const std::string& text, Value* value)
{
    return Reader(text).Read(value);
}
}
