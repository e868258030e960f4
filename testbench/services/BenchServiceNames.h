#pragma once

// Set by a test to let every BenchService.exe report SERVICE_STOPPED and end.
constexpr const wchar_t* BenchServiceReleaseEvent = L"Global\\QuillonBenchService_Release";
