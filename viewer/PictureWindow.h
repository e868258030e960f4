#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "AgentWorker.h"
#include "agent/AgentClient.h"
#include "session/WindowFramework.h"

namespace viewer
{
// The live picture of the selected session 0 window, scrolled where it is larger than its place;
// clicks and keys on it go to that window through the worker.
class PictureWindow : public CWindowImpl<PictureWindow>
{
public:
    static const WNDCLASSEXW& GetWndClassInfo();

    // A child of `parent` with the dialog id `id`; `font` (not owned) writes the placeholder.
    HWND Create(CWindowClasses& classes, HWND parent, UINT id, HGDIOBJ font, AgentWorker& worker);

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;

    // Another session 0 window: no picture until its first arrives.
    void Show(uint32_t window);
    void SetPicture(agent::Image picture);
    const agent::Image& Picture() const { return picture_; }
    // What stands in the place of a missing picture.
    void SetPlaceholder(std::wstring text);

private:
    void UpdateScrollBars();
    void Scroll(int bar, int request, int thumb);
    void OnPaint();
    void OnClick(LPARAM at, bool right, bool twice);
    bool OnKey(WPARAM key);

    AgentWorker* worker_ = nullptr;
    HGDIOBJ font_ = nullptr;
    uint32_t window_ = 0;
    agent::Image picture_;
    std::wstring placeholder_;
    int scrollX_ = 0;
    int scrollY_ = 0;
};
}
