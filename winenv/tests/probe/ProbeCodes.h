#pragma once

// Exit-code bits of winenv_probe.exe, which reports from a process of its own.
namespace probe {

// "rights" and "locked-token": what the user object and the membership tests said.
constexpr unsigned long IsAdmin = 0x01;
constexpr unsigned long InAdministrators = 0x02;
constexpr unsigned long InUsers = 0x04;
constexpr unsigned long HasSid = 0x08;
constexpr unsigned long HasSession = 0x10;
constexpr unsigned long SidErrorAccessDenied = 0x20;

// "shell-fallback": what getFolderPath answered for a folder without registry value.
constexpr unsigned long FolderFound = 0x01;
constexpr unsigned long FolderFromDecoy = 0x02;
constexpr unsigned long ShellReleased = 0x04;
constexpr unsigned long DecoyByName = 0x08;

// "system-library": where kvsyslib.dll and its dependency kvsysdep.dll came from (the
// system folder, or beside the probe) through each route of loadSystemLibrary.
constexpr unsigned long RestrictedLibraryFromSystem = 0x01;
constexpr unsigned long RestrictedDependencyFromSystem = 0x02;
constexpr unsigned long FullPathLibraryFromSystem = 0x04;
constexpr unsigned long FullPathDependencyFromSystem = 0x08;
// The control: a plain load by full path takes the dependency from beside the probe.
constexpr unsigned long PlainDependencyFromProbe = 0x10;

// The probe could not set up what it was asked to test.
constexpr unsigned long SetupFailed = 0x1000;

} // namespace probe
