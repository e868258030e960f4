#pragma once

// Set by a test to let every BenchService.exe report SERVICE_STOPPED and end.
constexpr const wchar_t* BenchServiceReleaseEvent = L"Global\\QuillonBenchService_Release";

// BenchHungService.exe: a service without the interactive flag that waits on a message box and
// a dialog, as a service hung on a question nobody sees. The entry's name and its windows.
constexpr const wchar_t* HungServiceName = L"QuillonBenchHung";
constexpr const wchar_t* HungBoxTitle = L"Quillon bench: disk full";
constexpr const wchar_t* HungDialogTitle = L"Quillon bench: export";
// Where Wine puts the windows of services without the interactive flag (programs/services).
constexpr const wchar_t* WineServicePlace = L"__wineservice_winstation\\Default";
