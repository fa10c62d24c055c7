#include <windows.h>
#include <shlobj.h>

#include "WinenvTest.h"
#include "probe/ProbeCodes.h"
#include "winenv/ShellFolders.h"

#include <optional>
#include <tuple>
#include <utility>

namespace {

using kv::test::RegValue;

constexpr wchar_t kShellFolders[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

std::wstring environment(const wchar_t* name) {
    wchar_t buffer[32768] = {};
    return std::wstring(buffer, GetEnvironmentVariableW(name, buffer, 32768));
}

RegValue expandable(const std::wstring& text) {
    return RegValue(REG_EXPAND_SZ, kv::test::bytesOf(text + L'\0'));
}

// Replaces one registry value or removes it while the object lives, then puts back
// exactly what was there: the folder values belong to the whole prefix.
struct ValueOverride {
    ValueOverride(HKEY root, std::wstring key, const wchar_t* name, const std::optional<RegValue>& value)
        : root(root), key(std::move(key)), name(name), saved(kv::test::readValue(root, this->key, name)) {
        put(value);
    }
    ~ValueOverride() { put(saved); }
    void put(const std::optional<RegValue>& value) const {
        if (value) {
            EXPECT_TRUE(kv::test::writeValue(root, key, name, value->first, value->second));
        } else {
            RegDeleteKeyValueW(root, key.c_str(), name);
        }
    }
    HKEY root;
    std::wstring key;
    const wchar_t* name;
    std::optional<RegValue> saved;
};

TEST(ShellFolders, EveryIdentifierReadsItsValueAndElseAsksTheShell) {
    const std::tuple<FolderId, const wchar_t*, int> rows[] = {
        {FolderId::CommonAppData, L"Common AppData", CSIDL_COMMON_APPDATA},
        {FolderId::CommonDesktop, L"Common Desktop", CSIDL_COMMON_DESKTOPDIRECTORY},
        {FolderId::CommonStartMenu, L"Common Start Menu", CSIDL_COMMON_STARTMENU},
        {FolderId::CommonPrograms, L"Common Programs", CSIDL_COMMON_PROGRAMS},
        {FolderId::CommonStartup, L"Common Startup", CSIDL_COMMON_STARTUP},
        {FolderId::ProgramFiles, L"ProgramFilesDir", CSIDL_PROGRAM_FILES},
        {FolderId::AppData, L"AppData", CSIDL_APPDATA},
        {FolderId::LocalAppData, L"Local AppData", CSIDL_LOCAL_APPDATA},
        {FolderId::Desktop, L"Desktop", CSIDL_DESKTOP},
        {FolderId::Personal, L"Personal", CSIDL_PERSONAL},
        {FolderId::MyPictures, L"My Pictures", CSIDL_MYPICTURES},
        {FolderId::MyMusic, L"My Music", CSIDL_MYMUSIC},
        {FolderId::MyVideo, L"My Video", CSIDL_MYVIDEO},
        {FolderId::Favorites, L"Favorites", CSIDL_FAVORITES},
        {FolderId::StartMenu, L"Start Menu", CSIDL_STARTMENU},
        {FolderId::Programs, L"Programs", CSIDL_PROGRAMS},
        {FolderId::Startup, L"Startup", CSIDL_STARTUP},
        {FolderId::Cache, L"Cache", CSIDL_INTERNET_CACHE},
    };
    const std::wstring systemRoot = environment(L"SystemRoot");
    for (const auto& [id, value, csidl] : rows) {
        const auto number = std::to_wstring(static_cast<unsigned>(id));
        const HKEY root = id < FolderId::None ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        const wchar_t* key = id == FolderId::ProgramFiles ? kCurrentVersion : kShellFolders;
        ValueOverride stored(root, key, value, expandable(L"%SystemRoot%\\kv-" + number));
        EXPECT_EQ(getFolderPath(id), systemRoot + L"\\kv-" + number);
        stored.put(std::nullopt);
        wchar_t shell[MAX_PATH] = {};
        ASSERT_EQ(SHGetFolderPathW(nullptr, csidl, nullptr, 0, shell), S_OK) << number;
        EXPECT_EQ(getFolderPath(id), shell) << number;
    }

    // The 32-bit program files folder falls back to the native one.
    ValueOverride x86(HKEY_LOCAL_MACHINE, kCurrentVersion, L"ProgramFilesDir (x86)", expandable(L"C:\\x86"));
    EXPECT_EQ(getFolderPath(FolderId::ProgramFilesX86), L"C:\\x86");
    x86.put(std::nullopt);
    ValueOverride native(HKEY_LOCAL_MACHINE, kCurrentVersion, L"ProgramFilesDir", expandable(L"C:\\Native"));
    EXPECT_EQ(getFolderPath(FolderId::ProgramFilesX86), L"C:\\Native");

    EXPECT_EQ(getFolderPath(FolderId::UserProfile), environment(L"USERPROFILE"));
    for (auto id : {7u, 21u, 22u, 0xFFFFFFFFu}) {
        EXPECT_EQ(getFolderPath(static_cast<FolderId>(id)), L"") << id;
        EXPECT_EQ(getFolderPath(static_cast<FolderId>(id), L"S-1-5-18"), L"") << id;
    }
}

// Users that exist only in this test's keys below HKEY_USERS (removed before and
// after) and, for the first, in the ProfileList.
TEST(ShellFolders, OtherUsersFoldersComeFromThatUsersHiveAndProfile) {
    const std::wstring sid = L"S-1-5-21-1000-2000-3000-1234";
    const std::wstring noProfile = L"S-1-5-21-1000-2000-3000-1235";
    kv::test::RegistryTree profileKey(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + L"\\" + sid);
    ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, profileKey.path(), L"ProfileImagePath", REG_SZ,
                                     kv::test::bytesOf(std::wstring(L"C:\\users\\other") + L'\0')));
    // A profile one key below, for a "SID" that tries to reach it.
    ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, profileKey.path() + L"\\x", L"ProfileImagePath",
                                     REG_SZ, kv::test::bytesOf(std::wstring(L"C:\\users\\x") + L'\0')));
    const RegValue local = expandable(L"%USERPROFILE%\\a;%userprofile%\\b;%USERPROFILES%");
    for (const auto& user : {sid, noProfile}) {
        RegDeleteTreeW(HKEY_USERS, user.c_str());
        ASSERT_TRUE(kv::test::writeValue(HKEY_USERS, user + L"\\" + kShellFolders, L"Local AppData",
                                         local.first, local.second));
    }
    const std::tuple<FolderId, std::wstring, std::wstring, const char*> rows[] = {
        {FolderId::LocalAppData, sid, L"C:\\users\\other\\a;C:\\users\\other\\b;%USERPROFILES%",
         "the profile in any letter case, only the whole name"},
        {FolderId::UserProfile, sid, L"C:\\users\\other", "the profile itself"},
        {FolderId::Personal, sid, L"", "no value, no shell fallback for another user"},
        {FolderId::LocalAppData, noProfile, L"", "no profile: it would be the current user's"},
        {FolderId::UserProfile, sid + L"\\x", L"", "a SID string is one key name"},
        {FolderId::CommonAppData, sid, getFolderPath(FolderId::CommonAppData), "machine-wide"},
    };
    for (const auto& [id, user, path, why] : rows) {
        EXPECT_EQ(getFolderPath(id, user), path) << why;
    }
    for (const auto& user : {sid, noProfile}) {
        RegDeleteTreeW(HKEY_USERS, user.c_str());
    }
}

TEST(ShellFolders, ShellIsLoadedFromTheSystemDirectoryOnly) {
    // The probe runs with native-first loading of shell32 (a per-application setting of
    // Wine) and a decoy shell32.dll beside it, so a load by name would reach the decoy.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) {
        GTEST_SKIP() << "needs Wine's per-application DLL load order";
    }
    kv::test::RegistryTree appDefaults(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\winenv_probe.exe");
    ASSERT_TRUE(kv::test::writeValue(HKEY_CURRENT_USER, appDefaults.path() + L"\\DllOverrides", L"shell32",
                                     REG_SZ, kv::test::bytesOf(std::wstring(L"native,builtin") + L'\0')));
    ValueOverride missing(HKEY_CURRENT_USER, kShellFolders, L"Favorites", std::nullopt);
    EXPECT_EQ(runProbe(L"shell-fallback"), probe::FolderFound | probe::ShellReleased | probe::DecoyByName);
}

// kvsyslib.dll and its dependency kvsysdep.dll lie beside the probe and are copied into
// the system folder: each route of loadSystemLibrary takes both from there, while a plain
// load by full path takes the dependency from beside the program.
TEST(SystemLibrary, ItAndItsDependenciesComeFromTheSystemFolder) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring names[] = {L"kvsyslib.dll", L"kvsysdep.dll"};
    for (const std::wstring& name : names) {
        ASSERT_TRUE(CopyFileW(kv::test::besideTestExecutable(L"probe\\" + name).c_str(),
                              (std::wstring(system) + L"\\" + name).c_str(), FALSE));
    }
    const DWORD bits = runProbe(L"system-library");
    for (const std::wstring& name : names) {
        DeleteFileW((std::wstring(system) + L"\\" + name).c_str());
    }
    EXPECT_EQ(bits, probe::RestrictedLibraryFromSystem | probe::RestrictedDependencyFromSystem |
                        probe::FullPathLibraryFromSystem | probe::FullPathDependencyFromSystem |
                        probe::PlainDependencyFromProbe);
}

TEST(ModulePaths, FileNamesOfAnyLengthAndTheExecutableDirectory) {
    kv::test::TempDirectory temp;
    const std::wstring directory = temp / std::wstring(200 - temp.path().size() - 1, L'd');
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    const std::wstring source = kv::test::besideTestExecutable(L"probe\\shell32.dll");
    // Around the first buffer size of 256 characters.
    for (size_t length : {255u, 256u, 257u}) {
        const std::wstring path =
            directory + L"\\" + std::wstring(length - directory.size() - 5, L'm') + L".dll";
        ASSERT_TRUE(CopyFileW(source.c_str(), path.c_str(), FALSE));
        kv::UniqueModule module(LoadLibraryW(path.c_str()));
        ASSERT_TRUE(module) << length;
        EXPECT_EQ(getModuleFileName(module.get()), path);
    }
    const std::wstring executable = kv::test::besideTestExecutable(L"winenv_tests.exe");
    EXPECT_EQ(getModuleFileName(), executable);
    EXPECT_EQ(getModuleDirectory() + L"\\winenv_tests.exe", executable);
    EXPECT_EQ(getModuleFileName(reinterpret_cast<HMODULE>(0x1000)), L"");
}

TEST(PathText, JoinAndSplit) {
    const std::tuple<std::wstring, std::wstring, std::wstring> joins[] = {
        {L"C:\\dir", L"file", L"C:\\dir\\file"},
        {L"C:\\dir\\\\", L"\\file", L"C:\\dir\\file"},
        {L"C:\\", L"file", L"C:\\file"},
        {L"", L"\\file", L"\\file"},
        {L"C:\\dir\\", L"", L"C:\\dir"},
        {L"\\\\server\\share", L"a\\b", L"\\\\server\\share\\a\\b"},
        {L"", L"", L""},
    };
    for (const auto& [first, second, joined] : joins) {
        EXPECT_EQ(joinPath(first, second), joined) << first << L" + " << second;
    }
    const std::tuple<std::wstring, bool, std::wstring, std::wstring> splits[] = {
        {L"C:\\dir\\file.txt", true, L"C:\\dir", L"file.txt"},
        {L"C:\\dir\\sub\\", true, L"C:\\dir", L"sub"},
        {L"file", true, L"", L"file"},
        {L"C:\\", true, L"", L"C:"},
        {L"dir\\\\", true, L"dir", L""},
        {L"", false, L"", L""},
        {L"\\", false, L"", L""},
        {L"\\file", false, L"", L""},
    };
    for (const auto& [path, ok, directory, name] : splits) {
        std::wstring outDirectory = L"stale", outName = L"stale";
        const bool split = splitPath(path, outDirectory, outName);
        EXPECT_EQ(std::tie(split, outDirectory, outName), std::tie(ok, directory, name)) << path;
    }
}

TEST(PathText, ExpandEnvironmentInPlace) {
    const std::wstring longValue(20000, L'x');
    ASSERT_TRUE(SetEnvironmentVariableW(L"KV_WINENV_LONG", longValue.c_str()));
    std::wstring text = L"a%KV_WINENV_LONG%b %KV_WINENV_UNSET%";
    expandEnvironmentInPlace(text);
    EXPECT_EQ(text, L"a" + longValue + L"b %KV_WINENV_UNSET%");
    // Beyond the platform's 32,767 characters nothing is left.
    text = L"%KV_WINENV_LONG%%KV_WINENV_LONG%";
    expandEnvironmentInPlace(text);
    EXPECT_EQ(text, L"");
    SetEnvironmentVariableW(L"KV_WINENV_LONG", nullptr);
}

} // namespace
