#pragma once

#include <windows.h>

#include <string>

// Fault injection and call counting for the test doubles' COM methods, named
// "Interface::Method" (for example "ITaskFolder::RegisterTaskDefinition"). Calls
// are counted per method and per process from the last clearFaults.
namespace kv::doubles {

// Makes call number `call` (1-based) of `method` fail with `result` before it does
// anything; with `onward`, that call and every later one. Call 0 means every call.
void failCall(const std::wstring& method, unsigned call, HRESULT result, bool onward = false);
// Adds faults written "Method@N=HRESULT" (only the N-th call) or "Method@N+=HRESULT"
// (the N-th and later), separated by ';'. False, and nothing added, when malformed.
bool addFaults(const std::wstring& text);
// Removes every fault and sets every count to zero; faults named by the environment
// are not read any more in this process.
void clearFaults();
unsigned callCount(const std::wstring& method);

// Counts one call and answers the injected HRESULT, or S_OK to go ahead. The first
// call in a process reads faults from the environment variable `variable`.
HRESULT enterCall(const wchar_t* method, const wchar_t* variable) noexcept;

} // namespace kv::doubles
