#pragma once

#include <cstdint>
#include <string>

// Starts `"executable" arguments` without a window, with the installer's standard
// handles, environment and current directory, waits for the child without a time-out
// and answers its exit code unchanged. Throws std::runtime_error
// ("can't create process, le=<error>") when the child cannot be started.
std::uint32_t runProcess(const std::wstring& executable, const std::wstring& arguments);
