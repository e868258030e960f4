#include "BenchState.h"

BenchState* OpenBenchState()
{
    static BenchState* const state = [] {
        const HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  sizeof(BenchState), L"Global\\QuillonBenchState");
        if (section == nullptr)
            return static_cast<BenchState*>(nullptr);
        // The section stays open with the view for the life of the process.
        return static_cast<BenchState*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(BenchState)));
    }();
    return state;
}
