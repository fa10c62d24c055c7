#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Well-known folders. 0 to 6 are machine-wide, 8 to 20 belong to a user; None and
// every value from 21 on name no folder.
enum class FolderId : std::uint32_t {
    CommonAppData = 0,
    CommonDesktop = 1,
    CommonStartMenu = 2,
    CommonPrograms = 3,
    CommonStartup = 4,
    ProgramFiles = 5,
    ProgramFilesX86 = 6,
    None = 7,
    AppData = 8,
    LocalAppData = 9,
    Desktop = 10,
    Personal = 11,
    MyPictures = 12,
    MyMusic = 13,
    MyVideo = 14,
    Favorites = 15,
    StartMenu = 16,
    Programs = 17,
    Startup = 18,
    Cache = 19,
    UserProfile = 20,
};

// The folder of the current user (or the machine), read from the shell's registry
// entries with environment variables expanded; when those give nothing, asked of
// SHGetFolderPathW from the system directory's shell32.dll. Empty when not found.
std::wstring getFolderPath(FolderId id);

// The same for the user with that SID string (for example "S-1-5-21-...-1001"): per-user
// folders are read below HKEY_USERS\<sid> and %USERPROFILE% becomes that user's profile
// directory. Empty when the value is missing or names %USERPROFILE% while the profile
// directory is unknown; with a SID the shell is never asked. An empty SID is the
// current user.
std::wstring getFolderPath(FolderId id, const std::wstring& userSid);

// The directory of the running executable, without a trailing backslash.
std::wstring getModuleDirectory();

// The full path of a loaded module (null: the executable), however long; empty on failure.
std::wstring getModuleFileName(HMODULE module = nullptr);

// first + "\" + second with exactly one backslash between them. An empty first gives
// second; an empty second gives first without its trailing backslashes.
std::wstring joinPath(const std::wstring& first, const std::wstring& second);

// Splits at the last backslash after dropping one trailing backslash: "C:\dir\file"
// gives "C:\dir" and "file", a path without a backslash an empty directory and the
// whole text. False (both outputs empty) for an empty path or a backslash at position 0.
bool splitPath(const std::wstring& path, std::wstring& directory, std::wstring& name);

// Expands %variables% from the process environment; on failure, and when the result
// would not fit the platform's 32,767 characters (NUL included), the text becomes empty.
void expandEnvironmentInPlace(std::wstring& text);

// Replaces every %USERPROFILE% (in any letter case) by the profile directory of the
// user with that SID string, as registered in the ProfileList; without a registered
// profile directory the path is left unchanged.
void expandUserProfile(std::wstring& path, const std::wstring& userSid);
