#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The task store: folders are directories and tasks are files of Task Scheduler XML
// (UTF-16 with BOM) below a root folder that stands for "\". Tasks are not cached:
// every call reads the disk, so other service objects and other processes see the
// same store.
namespace kv::ts20::store {

// The root folder in use: the configured one or %windir%\system32\Tasks.
std::wstring root();
// Sets the root for this process (empty: the default) and answers the previous setting.
std::wstring setRoot(const std::wstring& folder);
// Splits a task path into its names. `path` is absolute ("\A\B") or relative to
// `base` (itself absolute). Fails with HRESULT_FROM_WIN32(ERROR_INVALID_NAME) for a
// name that begins or ends with a blank, is "." or "..", or holds a character no
// file name may hold.
HRESULT resolve(const std::wstring& base, const std::wstring& path, std::vector<std::wstring>& names);
// "\" for no names, else "\A\B".
std::wstring join(const std::vector<std::wstring>& names);

enum class Kind { Missing, Folder, Task };
// What the path names; `storedName` (optional) receives the last name as stored.
Kind kindOf(const std::vector<std::wstring>& names, std::wstring* storedName = nullptr);
// S_OK when every folder of `names` exists; else HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
// when a parent is missing, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when only the last is.
HRESULT folderExists(const std::vector<std::wstring>& names);

HRESULT readTask(const std::vector<std::wstring>& names, std::wstring& xml);
HRESULT writeTask(const std::vector<std::wstring>& names, const std::wstring& xml);
HRESULT deleteTask(const std::vector<std::wstring>& names);
HRESULT createFolder(const std::vector<std::wstring>& names);
// Fails with HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY) while the folder holds anything.
HRESULT deleteFolder(const std::vector<std::wstring>& names);
// Names of the tasks (or subfolders) of a folder, as stored, sorted without regard to case.
HRESULT list(const std::vector<std::wstring>& folder, bool folders, std::vector<std::wstring>& names);

// The security descriptor stored for a folder (empty when none), as SDDL.
std::wstring readSecurity(const std::vector<std::wstring>& names);
void writeSecurity(const std::vector<std::wstring>& names, const std::wstring& sddl);
// Checks an SDDL text as the service does; S_OK or the conversion's error as an HRESULT.
HRESULT checkSddl(const std::wstring& sddl);

// The file of a task, or the directory of a folder.
std::wstring fileOf(const std::vector<std::wstring>& names);

} // namespace kv::ts20::store
