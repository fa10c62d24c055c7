#pragma once

#include <windows.h>

#include <string>

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

// Starts a command line, waits up to timeoutMs and answers the full 32-bit exit
// code; ~0u when it could not start, WAIT_TIMEOUT after killing a hung child.
DWORD runCommand(const std::wstring& commandLine, DWORD timeoutMs = 120000);

} // namespace kv::test
