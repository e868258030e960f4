#pragma once

// A dialog template built in memory for the bench programs' dialogs, so that they need no
// resource script: the header's fields in order, then each item DWORD-aligned.

#include <windows.h>

#include <vector>

namespace bench
{
class DialogTemplate
{
public:
    void Word(WORD value) { words_.push_back(value); }
    void Dword(DWORD value)
    {
        Word(LOWORD(value));
        Word(HIWORD(value));
    }
    void Text(const wchar_t* text)
    {
        for (; *text != L'\0'; ++text)
            Word(*text);
        Word(0);
    }
    void Align()
    {
        if (words_.size() % 2 != 0)
            Word(0);
    }
    // The header of a dialog with a font (DS_SETFONT is added) and no menu or class of its own;
    // the count of items follows from Item calls.
    void Header(DWORD style, const wchar_t* title, short x, short y, short cx, short cy, WORD fontSize,
                const wchar_t* font)
    {
        Dword(style | DS_SETFONT);
        Dword(0);
        count_ = words_.size();
        Word(0);
        Word(x);
        Word(y);
        Word(cx);
        Word(cy);
        Word(0);
        Word(0);
        Text(title);
        Word(fontSize);
        Text(font);
    }
    // A child of a predefined class (0x0080 button, 0x0081 edit, 0x0082 static), shown.
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD classAtom, const wchar_t* text)
    {
        Align();
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        Word(x);
        Word(y);
        Word(cx);
        Word(cy);
        Word(id);
        Word(0xFFFF);
        Word(classAtom);
        Text(text);
        Word(0);
        ++words_[count_];
    }
    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    std::vector<WORD> words_;
    size_t count_ = 0;
};
}
