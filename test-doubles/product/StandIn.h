#pragma once

#include <windows.h>

#include <string>

// What the stand-ins for the product's own programs share: they record each start
// in a text file beside themselves, one UTF-8 line per start.
namespace kv::doubles::standin {

// The directory of the running program, with a trailing backslash.
std::wstring ownDirectory();

// Appends "pid=<pid> user=<account> admin=<0|1> cmdline=<command line>" to
// <own directory>\<fileName>, under a named mutex so that parallel starts keep
// whole lines.
void recordStart(const wchar_t* fileName);

} // namespace kv::doubles::standin
