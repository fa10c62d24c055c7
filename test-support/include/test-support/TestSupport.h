#pragma once

#include <windows.h>

#include "kvtl/Handle.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Helpers shared by the test executables: every test owns its state.
namespace kv::test {

// A fresh directory below %TEMP%, removed with everything in it afterwards.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Deletes a registry key tree (in both views) when made and again when destroyed,
// so that a test starts from and leaves a clean slate.
class RegistryTree {
public:
    RegistryTree(HKEY root, std::wstring path);
    ~RegistryTree();
    RegistryTree(const RegistryTree&) = delete;
    RegistryTree& operator=(const RegistryTree&) = delete;

    const std::wstring& path() const { return path_; }
    void clear() const;

private:
    HKEY root_;
    std::wstring path_;
};

// Recursively deletes a directory tree; true when nothing is left.
bool removeDirectoryTree(const std::wstring& path);

// Full path of a file next to the running test executable (helper programs and
// DLLs built with the tests live there).
std::wstring besideTestExecutable(const std::wstring& name);

// Starts a command line (with `token` as its primary token when given), waits up to
// timeoutMs and answers the full 32-bit exit code; ~0u when it could not start,
// WAIT_TIMEOUT after killing a hung child.
DWORD runCommand(const std::wstring& commandLine, DWORD timeoutMs = 120000, HANDLE token = nullptr);

using Bytes = std::vector<std::uint8_t>;
// A stored registry value: its REG_* type and its bytes.
using RegValue = std::pair<DWORD, Bytes>;

// The bytes of `text` as stored (a terminating NUL only when `text` holds one).
Bytes bytesOf(const std::wstring& text);

// Raw registry access that bypasses the code under test. writeValue creates the key;
// a null name only creates it. readValue answers nothing when the value cannot be read.
bool writeValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const Bytes& data,
                REGSAM view = KEY_WOW64_64KEY);
std::optional<RegValue> readValue(HKEY root, const std::wstring& key, const std::wstring& name,
                                  REGSAM view = KEY_WOW64_64KEY);

// The whole content of a file, read with every sharing mode; empty when it cannot be opened.
std::string readFile(const std::wstring& path);

// A copy of `token` with the Administrators group deny-only, as in the filtered token
// of an administrator who did not elevate; empty when it cannot be made.
kv::UniqueHandle withoutAdministrators(HANDLE token);

// The string SID of the process token's user; empty when it cannot be read.
std::wstring currentUserSid();

} // namespace kv::test
