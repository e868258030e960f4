#pragma once

// A window's controls as the viewer tells them, and which of them `--press TEXT` and the viewer's
// controls list mean by a button's text.

#include <string>
#include <vector>

#include "agent/Protocol.h"

namespace viewer
{
// The states that hold, as words from "enabled visible checked focused default", space-separated.
std::wstring StateWords(uint16_t state);

// The text as the button shows it: a single & marks the next letter as the mnemonic and is not
// shown, && shows one &.
std::wstring ButtonLabel(const std::wstring& text);

// A push button, check box or radio button (class "Button") that is enabled and visible. A group
// box is a Button too and cannot be told by its state: the agent refuses to press it.
bool IsPressable(const agent::Control& control);

// The pressable controls whose label equals text in any letter case, as indexes into controls.
std::vector<size_t> MatchingButtons(const std::vector<agent::Control>& controls, const std::wstring& text);
}
