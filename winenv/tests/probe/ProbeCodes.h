#pragma once

// Exit-code bits of winenv_probe.exe, which reports from a process of its own.
namespace probe {

// "rights" and "locked-token": what the user object and the membership tests said.
constexpr unsigned long IsAdmin = 0x01, InUsers = 0x02, HasSid = 0x04, HasSession = 0x08;
constexpr unsigned long SidErrorAccessDenied = 0x10;

// "shell-fallback": what getFolderPath answered for a folder without registry value.
constexpr unsigned long FolderFound = 0x01, FolderFromDecoy = 0x02, ShellReleased = 0x04, DecoyByName = 0x08;

// "system-library": where kvsyslib.dll and its dependency kvsysdep.dll came from (the
// system folder, or beside the probe) through each route of loadSystemLibrary; the
// control is a plain load by full path, which takes the dependency from beside the probe.
constexpr unsigned long RestrictedLibraryFromSystem = 0x01, RestrictedDependencyFromSystem = 0x02;
constexpr unsigned long FullPathLibraryFromSystem = 0x04, FullPathDependencyFromSystem = 0x08;
constexpr unsigned long PlainDependencyFromProbe = 0x10;

// The probe could not set up what it was asked to test.
constexpr unsigned long SetupFailed = 0x1000;

} // namespace probe
