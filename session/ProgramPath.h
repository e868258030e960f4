#pragma once

#include <string>

// The running program's own full path, however long. False, with the last error set, when the
// system gives no path or one that is not absolute: a relative path would name whatever file
// lies in the current directory.
[[nodiscard]] bool ProgramPath(std::wstring& path);
