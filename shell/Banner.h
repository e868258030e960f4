#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Which banner text to show, from the answers of the version probes. The server probe is only
// asked on Windows 10 and later; earlier systems get the plain text whatever their product type.
UINT BannerTextId(bool windows10OrGreater, bool windowsServer);

// The banner text for the system the program runs on now.
UINT CurrentBannerTextId();

// The text of a string resource of the program's own module; empty when the id is missing.
std::wstring LoadResourceString(UINT id);

// Lines at every line feed; adjacent line feeds give empty lines.
std::vector<std::wstring> SplitBannerLines(const std::wstring& text);

// Paints one update rectangle of the shell window: black, with the text in yellow at the
// top-left corner of the client area, composed off-screen in bands of a few megabytes, each
// copied in one BitBlt.
void PaintBanner(HDC paintDc, const RECT& paintRect, const std::wstring& text);
