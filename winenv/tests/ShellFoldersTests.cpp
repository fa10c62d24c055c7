#include <windows.h>
#include <shlobj.h>

#include "kvtl/Handle.h"
#include "probe/ProbeCodes.h"
#include "test-support/TestSupport.h"
#include "winenv/ShellFolders.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kShellFolders[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

std::wstring environment(const wchar_t* name) {
    wchar_t buffer[32768] = {};
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    return std::wstring(buffer, length);
}

// Replaces one registry value (REG_EXPAND_SZ) or removes it while the object lives,
// then puts back exactly what was there: the folder values belong to the whole prefix.
class ValueOverride {
public:
    ValueOverride(HKEY root, std::wstring key, std::wstring name, const std::optional<std::wstring>& text)
        : root_(root), key_(std::move(key)), name_(std::move(name)),
          saved_(kv::test::readValue(root_, key_, name_)) {
        put(text ? std::optional(kv::test::RegValue(REG_EXPAND_SZ, kv::test::bytesOf(*text + L'\0')))
                 : std::nullopt);
    }
    ~ValueOverride() { put(saved_); }
    ValueOverride(const ValueOverride&) = delete;
    ValueOverride& operator=(const ValueOverride&) = delete;

private:
    void put(const std::optional<kv::test::RegValue>& value) const {
        if (value) {
            EXPECT_TRUE(kv::test::writeValue(root_, key_, name_.c_str(), value->first, value->second));
        } else {
            RegDeleteKeyValueW(root_, key_.c_str(), name_.c_str());
        }
    }

    HKEY root_;
    std::wstring key_;
    std::wstring name_;
    std::optional<kv::test::RegValue> saved_;
};

std::wstring shellAnswer(int csidl) {
    wchar_t path[MAX_PATH] = {};
    return SHGetFolderPathW(nullptr, csidl, nullptr, 0, path) == S_OK ? path : L"";
}

struct FolderRow {
    FolderId id;
    HKEY root;
    const wchar_t* key;
    const wchar_t* value;
    int csidl;
};

const FolderRow kFolderRows[] = {
    {FolderId::CommonAppData, HKEY_LOCAL_MACHINE, kShellFolders, L"Common AppData", CSIDL_COMMON_APPDATA},
    {FolderId::CommonDesktop, HKEY_LOCAL_MACHINE, kShellFolders, L"Common Desktop",
     CSIDL_COMMON_DESKTOPDIRECTORY},
    {FolderId::CommonStartMenu, HKEY_LOCAL_MACHINE, kShellFolders, L"Common Start Menu",
     CSIDL_COMMON_STARTMENU},
    {FolderId::CommonPrograms, HKEY_LOCAL_MACHINE, kShellFolders, L"Common Programs", CSIDL_COMMON_PROGRAMS},
    {FolderId::CommonStartup, HKEY_LOCAL_MACHINE, kShellFolders, L"Common Startup", CSIDL_COMMON_STARTUP},
    {FolderId::ProgramFiles, HKEY_LOCAL_MACHINE, kCurrentVersion, L"ProgramFilesDir", CSIDL_PROGRAM_FILES},
    {FolderId::AppData, HKEY_CURRENT_USER, kShellFolders, L"AppData", CSIDL_APPDATA},
    {FolderId::LocalAppData, HKEY_CURRENT_USER, kShellFolders, L"Local AppData", CSIDL_LOCAL_APPDATA},
    {FolderId::Desktop, HKEY_CURRENT_USER, kShellFolders, L"Desktop", CSIDL_DESKTOP},
    {FolderId::Personal, HKEY_CURRENT_USER, kShellFolders, L"Personal", CSIDL_PERSONAL},
    {FolderId::MyPictures, HKEY_CURRENT_USER, kShellFolders, L"My Pictures", CSIDL_MYPICTURES},
    {FolderId::MyMusic, HKEY_CURRENT_USER, kShellFolders, L"My Music", CSIDL_MYMUSIC},
    {FolderId::MyVideo, HKEY_CURRENT_USER, kShellFolders, L"My Video", CSIDL_MYVIDEO},
    {FolderId::Favorites, HKEY_CURRENT_USER, kShellFolders, L"Favorites", CSIDL_FAVORITES},
    {FolderId::StartMenu, HKEY_CURRENT_USER, kShellFolders, L"Start Menu", CSIDL_STARTMENU},
    {FolderId::Programs, HKEY_CURRENT_USER, kShellFolders, L"Programs", CSIDL_PROGRAMS},
    {FolderId::Startup, HKEY_CURRENT_USER, kShellFolders, L"Startup", CSIDL_STARTUP},
    {FolderId::Cache, HKEY_CURRENT_USER, kShellFolders, L"Cache", CSIDL_INTERNET_CACHE},
};

TEST(ShellFolders, EveryIdentifierReadsItsValueAndElseAsksTheShell) {
    const std::wstring systemRoot = environment(L"SystemRoot");
    for (const FolderRow& row : kFolderRows) {
        const auto id = static_cast<unsigned>(row.id);
        {
            ValueOverride value(row.root, row.key, row.value, L"%SystemRoot%\\kv-" + std::to_wstring(id));
            EXPECT_EQ(getFolderPath(row.id), systemRoot + L"\\kv-" + std::to_wstring(id)) << id;
        }
        ValueOverride missing(row.root, row.key, row.value, std::nullopt);
        const std::wstring fromShell = getFolderPath(row.id);
        EXPECT_FALSE(fromShell.empty()) << id;
        EXPECT_EQ(fromShell, shellAnswer(row.csidl)) << id;
    }

    // The 32-bit program files folder falls back to the native one.
    {
        ValueOverride x86(HKEY_LOCAL_MACHINE, kCurrentVersion, L"ProgramFilesDir (x86)", L"C:\\x86");
        EXPECT_EQ(getFolderPath(FolderId::ProgramFilesX86), L"C:\\x86");
    }
    ValueOverride noX86(HKEY_LOCAL_MACHINE, kCurrentVersion, L"ProgramFilesDir (x86)", std::nullopt);
    ValueOverride native(HKEY_LOCAL_MACHINE, kCurrentVersion, L"ProgramFilesDir", L"C:\\Native");
    EXPECT_EQ(getFolderPath(FolderId::ProgramFilesX86), L"C:\\Native");

    EXPECT_EQ(getFolderPath(FolderId::UserProfile), environment(L"USERPROFILE"));
    EXPECT_EQ(getFolderPath(FolderId::CommonAppData), environment(L"ProgramData"));
    for (auto id : {7u, 21u, 22u, 0xFFFFFFFFu}) {
        EXPECT_EQ(getFolderPath(static_cast<FolderId>(id)), L"") << id;
        EXPECT_EQ(getFolderPath(static_cast<FolderId>(id), L"S-1-5-18"), L"") << id;
    }
}

// A user that exists only in this test's keys below HKEY_USERS and the ProfileList.
class OtherUserTest : public ::testing::Test {
protected:
    static constexpr wchar_t kSid[] = L"S-1-5-21-1000-2000-3000-1234";
    static constexpr wchar_t kNoProfileSid[] = L"S-1-5-21-1000-2000-3000-1235";

    void setUserValue(const wchar_t* sid, const wchar_t* name, const std::wstring& text) {
        ASSERT_TRUE(kv::test::writeValue(HKEY_USERS, std::wstring(sid) + L"\\" + kShellFolders, name,
                                         REG_EXPAND_SZ, kv::test::bytesOf(text + L'\0')));
    }
    void SetUp() override {
        ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, profileKey_.path(), L"ProfileImagePath", REG_SZ,
                                         kv::test::bytesOf(std::wstring(L"C:\\users\\other") + L'\0')));
    }

    // A key directly below HKEY_USERS, which RegistryTree (parent plus name) cannot own.
    struct UserHive {
        explicit UserHive(const wchar_t* sid) : sid(sid) { RegDeleteTreeW(HKEY_USERS, sid); }
        ~UserHive() { RegDeleteTreeW(HKEY_USERS, sid); }
        const wchar_t* sid;
    };
    UserHive userHive_{kSid};
    UserHive noProfileHive_{kNoProfileSid};
    kv::test::RegistryTree profileKey_{HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + L"\\" + kSid};
};

TEST_F(OtherUserTest, PerUserFoldersComeFromThatUsersHiveAndProfile) {
    setUserValue(kSid, L"Local AppData", L"%USERPROFILE%\\AppData\\Local");
    setUserValue(kSid, L"AppData", L"%userprofile%\\Roaming");
    setUserValue(kSid, L"Desktop", L"%SystemDrive%\\Shared Desktop");
    setUserValue(kNoProfileSid, L"Local AppData", L"%USERPROFILE%\\AppData\\Local");

    EXPECT_EQ(getFolderPath(FolderId::LocalAppData, kSid), L"C:\\users\\other\\AppData\\Local");
    EXPECT_EQ(getFolderPath(FolderId::AppData, kSid), L"C:\\users\\other\\Roaming");
    EXPECT_EQ(getFolderPath(FolderId::Desktop, kSid), environment(L"SystemDrive") + L"\\Shared Desktop");
    EXPECT_EQ(getFolderPath(FolderId::UserProfile, kSid), L"C:\\users\\other");
    // No value, no shell fallback for another user.
    EXPECT_EQ(getFolderPath(FolderId::Personal, kSid), L"");
    // Without a profile directory the variable would expand to the current user's profile.
    EXPECT_EQ(getFolderPath(FolderId::LocalAppData, kNoProfileSid), L"");
    // A SID string is one key name.
    EXPECT_EQ(getFolderPath(FolderId::LocalAppData, std::wstring(kSid) + L"\\..\\x"), L"");
    // Machine-wide folders do not depend on the user.
    EXPECT_EQ(getFolderPath(FolderId::CommonAppData, kSid), getFolderPath(FolderId::CommonAppData));

    std::wstring path = L"%USERPROFILE%\\a;%UserProfile%\\b";
    expandUserProfile(path, kSid);
    EXPECT_EQ(path, L"C:\\users\\other\\a;C:\\users\\other\\b");
    path = L"%USERPROFILE%\\a";
    expandUserProfile(path, kNoProfileSid);
    EXPECT_EQ(path, L"%USERPROFILE%\\a");
    // Only the whole name is the variable.
    path = L"%USERPROFILES%\\a;%USERPROFILE";
    expandUserProfile(path, kSid);
    EXPECT_EQ(path, L"%USERPROFILES%\\a;%USERPROFILE");
}

TEST(ShellFolders, CurrentUserThroughHkeyUsersMatchesHkeyCurrentUser) {
    const std::wstring sid = kv::test::currentUserSid();
    ASSERT_FALSE(sid.empty());
    for (FolderId id : {FolderId::LocalAppData, FolderId::AppData, FolderId::UserProfile}) {
        const std::wstring path = getFolderPath(id, sid);
        EXPECT_FALSE(path.empty());
        EXPECT_EQ(path, getFolderPath(id));
    }
}

TEST(ShellFolders, ShellIsLoadedFromTheSystemDirectoryOnly) {
    // The probe runs with native-first loading of shell32 (a per-application setting of
    // Wine) and a decoy shell32.dll beside it, so a load by name would reach the decoy.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) {
        GTEST_SKIP() << "needs Wine's per-application DLL load order";
    }
    kv::test::RegistryTree appDefaults(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\winenv_probe.exe");
    const std::wstring overrides = appDefaults.path() + L"\\DllOverrides";
    const wchar_t order[] = L"native,builtin";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), L"shell32", REG_SZ, order, sizeof(order)),
              ERROR_SUCCESS);
    ValueOverride missing(HKEY_CURRENT_USER, kShellFolders, L"Favorites", std::nullopt);

    const DWORD bits = kv::test::runCommand(
        L"\"" + kv::test::besideTestExecutable(L"probe\\winenv_probe.exe") + L"\" shell-fallback");
    EXPECT_EQ(bits, probe::FolderFound | probe::ShellReleased | probe::DecoyByName);
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
    const DWORD bits = kv::test::runCommand(
        L"\"" + kv::test::besideTestExecutable(L"probe\\winenv_probe.exe") + L"\" system-library");
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
    // Around the first buffer size of 256 characters, and near MAX_PATH.
    for (size_t length : {255u, 256u, 257u, 259u}) {
        const std::wstring path =
            directory + L"\\" + std::wstring(length - directory.size() - 5, L'm') + L".dll";
        ASSERT_EQ(path.size(), length);
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

TEST(PathText, JoinPath) {
    const std::vector<std::pair<std::pair<std::wstring, std::wstring>, std::wstring>> rows = {
        {{L"C:\\dir", L"file"}, L"C:\\dir\\file"},
        {{L"C:\\dir\\", L"file"}, L"C:\\dir\\file"},
        {{L"C:\\dir\\\\", L"\\file"}, L"C:\\dir\\file"},
        {{L"C:\\", L"file"}, L"C:\\file"},
        {{L"", L"file"}, L"file"},
        {{L"", L"\\file"}, L"\\file"},
        {{L"C:\\dir\\", L""}, L"C:\\dir"},
        {{L"\\\\server\\share", L"a\\b"}, L"\\\\server\\share\\a\\b"},
        {{L"", L""}, L""},
    };
    for (const auto& [input, expected] : rows) {
        EXPECT_EQ(joinPath(input.first, input.second), expected) << input.first << L" + " << input.second;
    }
}

TEST(PathText, SplitPath) {
    struct Row {
        std::wstring path;
        bool ok;
        std::wstring directory;
        std::wstring name;
    };
    const Row rows[] = {
        {L"C:\\dir\\file.txt", true, L"C:\\dir", L"file.txt"},
        {L"C:\\dir\\sub\\", true, L"C:\\dir", L"sub"},
        {L"C:\\file", true, L"C:", L"file"},
        {L"file", true, L"", L"file"},
        {L"C:\\", true, L"", L"C:"},
        {L"dir\\\\", true, L"dir", L""},
        {L"", false, L"", L""},
        {L"\\", false, L"", L""},
        {L"\\file", false, L"", L""},
    };
    for (const Row& row : rows) {
        std::wstring directory = L"stale";
        std::wstring name = L"stale";
        EXPECT_EQ(splitPath(row.path, directory, name), row.ok) << row.path;
        EXPECT_EQ(directory, row.directory) << row.path;
        EXPECT_EQ(name, row.name) << row.path;
    }
}

TEST(PathText, ExpandEnvironmentInPlace) {
    const std::wstring longValue(5000, L'x');
    ASSERT_TRUE(SetEnvironmentVariableW(L"KV_WINENV_LONG", longValue.c_str()));
    std::wstring text = L"a%KV_WINENV_LONG%b %KV_WINENV_UNSET%";
    expandEnvironmentInPlace(text);
    EXPECT_EQ(text, L"a" + longValue + L"b %KV_WINENV_UNSET%");
    SetEnvironmentVariableW(L"KV_WINENV_LONG", nullptr);
    text.clear();
    expandEnvironmentInPlace(text);
    EXPECT_EQ(text, L"");
}

} // namespace
