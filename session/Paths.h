#pragma once

#include <string>

// The running program's own full path, however long. False, with the last error set, when the
// system gives no path or one that is not absolute: a relative path would name whatever file
// lies in the current directory.
[[nodiscard]] bool ProgramPath(std::wstring& path);

// The file of that name in the running program's folder; false as ProgramPath.
[[nodiscard]] bool PathBesideProgram(const std::wstring& name, std::wstring& path);

// Everything before the last backslash (or slash); empty when there is none. A file in a root
// folder gives the bare drive ("C:" for "C:\x.exe").
std::wstring FolderOf(const std::wstring& path);

// Everything after the last backslash (or slash); the whole path when there is none.
std::wstring FileNameOf(const std::wstring& path);

// The program of a service's image path (the command line the service manager starts): the
// quoted part, or up to the first ".exe" that ends the text or a word of an unquoted path,
// which may hold spaces and be followed by arguments; the whole text when it has neither.
std::wstring ProgramOfImagePath(const std::wstring& imagePath);
