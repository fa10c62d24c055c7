#pragma once

#include <cstdint>
#include <string>

// Starts `"executable" arguments` without a window, with the installer's standard
// handles, environment and current directory, waits for the child without a time-out
// and answers its exit code unchanged. Throws std::runtime_error when the child cannot
// be started ("can't create process, le=<error>"), when the wait or the exit code
// query fails ("can't wait for the process, le=<error>", ...), and when the child
// answers 259 (STILL_ACTIVE), which cannot be told from a child still running.
std::uint32_t runProcess(const std::wstring& executable, const std::wstring& arguments);
