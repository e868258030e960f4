#pragma once

#include <string>

// Text that other programs choose (window titles, program names) as it is shown to a person:
// control characters become spaces, and the characters that reorder or break the text around
// them (the bidirectional controls U+061C, U+200E-U+200F, U+202A-U+202E, U+2066-U+2069, and the
// line and paragraph separators U+2028-U+2029) are written out as \uXXXX, so that no title can
// make itself or what follows it read as something else. What travels keeps the real text.
std::wstring DisplayText(const std::wstring& text);
