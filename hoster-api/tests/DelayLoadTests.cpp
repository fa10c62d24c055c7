#include <windows.h>

#include "hoster-api/DelayLoad.h"

#include "kvtl/Str.h"
#include "winenv/ShellFolders.h"
#include "test-doubles/HosterApiDouble.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using kv::doubles::HosterApiDouble;
using Lines = std::vector<std::string>;

constexpr char kLibrary[] = "kv_hoster_api_64.dll";
constexpr wchar_t kLibraryW[] = L"kv_hoster_api_64.dll";

void setValue(const std::wstring& key, REGSAM view, const wchar_t* name, DWORD type,
              const std::wstring& data) {
    ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, key, name, type, kv::test::bytesOf(data), view));
}

// A copy of a substitute library in `folder`, created when missing.
std::wstring plant(const std::wstring& folder, const std::wstring& source = HosterApiDouble::libraryPath()) {
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\" + kLibraryW;
    EXPECT_TRUE(CopyFileW(source.c_str(), path.c_str(), FALSE)) << GetLastError();
    return path;
}

// Every test gets clean delay-load keys, a directory and a recording substitute library; it
// releases the libraries it loads, so that the next test loads from its own paths.
class DelayLoadTest : public ::testing::Test {
protected:
    kv::test::RegistryTree namespaces_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS"};
    kv::test::RegistryTree identifiers_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\Delay loading"};
    kv::test::TempDirectory directory_;
    HosterApiDouble double_{directory_ / L"calls.txt"};
};

TEST_F(DelayLoadTest, ReadRegistryPathReadsTheStringTypesAsStoredAndNoOtherType) {
    const std::wstring key = L"SOFTWARE\\Korvane\\NS\\wp_read\\Zarn\\DelayLoad";
    // clang-format off
    const struct { const wchar_t* name; DWORD type; std::wstring stored; std::wstring read; } rows[] = {
        {L"noNul", REG_SZ, L"C:\\x", L"C:\\x"},
        {L"expand", REG_EXPAND_SZ, std::wstring(L"%SystemRoot%\\lib.dll") + L'\0', L"%SystemRoot%\\lib.dll"},
        {L"dword", REG_DWORD, std::wstring(2, L'\7'), L""},
    };
    // clang-format on
    for (const auto& row : rows) {
        setValue(key, 0, row.name, row.type, row.stored);
        EXPECT_EQ(readRegistryPath(HKEY_LOCAL_MACHINE, key, row.name, 0), row.read) << row.name;
    }
}

// The five candidate keys in search order (A1 to A3 of the namespace, B1 and B2 of its identifier),
// DelayLoadArm64 in the 64-bit view, which is none, A1 of wp_default and the system directory.
enum Where { A1, A2, A3, B1, B2, Arm64View64, DefaultA1, System, Nowhere };

// Plants a library for `where` and names it there with `form`: '$' stands for its full path, '@' for
// the path relative to the current directory (the test's directory); '|' separates the strings of a
// multi-string, and a null form only creates the key. Answers the planted library's path.
std::wstring place(const kv::test::TempDirectory& directory, const std::wstring& namespaceName, Where where,
                   const wchar_t* form) {
    if (where == System) {
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        return plant(system);
    }
    const std::wstring identifier = namespaceName == L"default"       ? L"100"
                                    : namespaceName == L"mvx_default" ? L"1500"
                                                                      : L"1400";
    const std::wstring zarn = L"SOFTWARE\\Korvane\\NS\\" + namespaceName + L"\\Zarn";
    const std::pair<std::wstring, REGSAM> keys[] = {
        {zarn + L"\\DelayLoad", 0},
        {zarn + L"\\DelayLoadArm64", KEY_WOW64_32KEY},
        {zarn + L"\\DelayLoad", KEY_WOW64_32KEY},
        {L"SOFTWARE\\Korvane\\Zarn\\Delay loading\\" + identifier, 0},
        {L"SOFTWARE\\Korvane\\Zarn\\Delay loading\\" + identifier, KEY_WOW64_32KEY},
        {zarn + L"\\DelayLoadArm64", KEY_WOW64_64KEY},
        {L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad", 0},
    };
    const std::wstring relative = L"candidate" + std::to_wstring(where) + L"\\" + kLibraryW;
    const std::wstring path = plant(directory / (L"candidate" + std::to_wstring(where)));
    std::wstring text;
    for (const wchar_t c : std::wstring(form == nullptr ? L"" : form)) {
        text += c == L'$' ? path : c == L'@' ? relative : std::wstring(1, c == L'|' ? L'\0' : c);
    }
    setValue(keys[where].first, keys[where].second, form == nullptr ? nullptr : kLibraryW,
             text.find(L'\0') == text.npos ? REG_SZ : REG_MULTI_SZ, text + L'\0');
    return path;
}

TEST_F(DelayLoadTest, TheSearchLoadsTheFirstCandidateThatYieldsAModuleByItsFullPathOnly) {
    // clang-format off
    const struct { const char* why; const wchar_t* namespaceName; std::vector<std::pair<Where, const wchar_t*>> placements; Where loaded; DWORD error /* of a failed search */; } rows[] = {
        {"no keys: five reads, the system directory, the error of the last read", L"wp_default", {}, Nowhere, ERROR_BADKEY},
        {"A1 first", L"wp_default", {{A1, L"$"}, {A2, L"$"}, {A3, L"$"}, {B1, L"$"}, {B2, L"$"}}, A1, 0},
        {"A2: DelayLoadArm64 in the 32-bit view, before A3 and B", L"wp_default", {{A2, L"$"}, {A3, L"$"}, {B1, L"$"}, {B2, L"$"}}, A2, 0},
        {"A3: DelayLoad in the 32-bit view, before B", L"wp_default", {{A3, L"$"}, {B1, L"$"}, {B2, L"$"}}, A3, 0},
        {"B1: identifier key 1400, before B2", L"wp_default", {{B1, L"$"}, {B2, L"$"}}, B1, 0},
        {"B2: identifier key 1400 in the 32-bit view; DelayLoadArm64 in the 64-bit view is none", L"wp_default", {{Arm64View64, L"$"}, {B2, L"$"}}, B2, 0},
        {"a path to a missing file is skipped; a multi-string loads its first string", L"wp_default", {{A1, L"C:\\kv_absent\\kv_hoster_api_64.dll"}, {A3, L"$|C:\\kv_absent.dll|"}}, A3, 0},
        {"a bare name is never searched for", L"wp_default", {{A1, L"kv_hoster_api_64.dll"}}, Nowhere, ERROR_BADKEY},
        // At the last registry candidate, so that the refusal is the error reported.
        {"a UNC path is refused", L"wp_default", {{B2, L"\\\\kvserver\\share\\@"}}, Nowhere, ERROR_BAD_PATHNAME},
        {"a \\\\?\\ device path is refused", L"wp_default", {{B2, L"\\\\?\\$"}}, Nowhere, ERROR_BAD_PATHNAME},
        {"a drive-relative path is refused", L"wp_default", {{B2, L"C:@"}}, Nowhere, ERROR_BAD_PATHNAME},
        {"a path relative to the current directory is refused", L"wp_default", {{B2, L"@"}}, Nowhere, ERROR_BAD_PATHNAME},
        {"the last key read exists without the value", L"wp_default", {{B2, nullptr}}, Nowhere, ERROR_INVALID_NAME},
        {"the identifier table is matched case-sensitively", L"WP_DEFAULT", {{B1, L"$"}}, Nowhere, ERROR_BADKEY},
        {"namespace default has identifier 100", L"default", {{B1, L"$"}}, B1, 0},
        {"namespace mvx_default has identifier 1500", L"mvx_default", {{B2, L"$"}}, B2, 0},
        {"another namespace reads neither wp_default's keys nor identifier 1400", L"wp_other", {{DefaultA1, L"$"}, {B1, L"$"}}, Nowhere, ERROR_BADKEY},
        {"the system directory at last, with a null namespace when it is empty", L"", {{System, L"$"}}, System, 0},
    };
    // clang-format on
    // A search by name would find the substitute beside the test program and in the current directory.
    plant(directory_.path());
    wchar_t previousDirectory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previousDirectory);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        namespaces_.clear();
        identifiers_.clear();
        double_.clearCalls();
        std::wstring planted[Nowhere];
        for (const auto& [where, form] : row.placements) {
            planted[where] = place(directory_, row.namespaceName, where, form);
        }
        DelayImportModule module(kLibrary);
        DelayImportProc initialize(module, "KvHosterApi_Initialize");
        SetCurrentDirectoryW(directory_.path().c_str());
        TryLoadResult result;
        const std::uint32_t code = tryLoad(row.namespaceName, &initialize, result);
        const DWORD error = GetLastError();
        SetCurrentDirectoryW(previousDirectory);
        const std::wstring loaded = module.handle() == nullptr ? L"" : getModuleFileName(module.handle());
        FreeLibrary(module.handle());
        DeleteFileW(planted[System].c_str()); // none but the one in the system directory
        const bool found = row.loaded != Nowhere;
        EXPECT_EQ(code, found ? 0u : 1u);
        EXPECT_STREQ(result.dllName, found ? "" : kLibrary);
        EXPECT_EQ(_wcsicmp(loaded.c_str(), found ? planted[row.loaded].c_str() : L""), 0) << loaded.c_str();
        if (!found) {
            EXPECT_EQ(error, row.error);
            EXPECT_EQ(double_.calls(), Lines());
            continue;
        }
        // The dependency hook runs once, at the load, before the probe reaches the library.
        const std::string namespaceName =
            *row.namespaceName ? kv::str::wideToUtf8(row.namespaceName) : "(null)";
        EXPECT_EQ(double_.calls(), Lines({"ZarnDelayLoadDependencies|24|0|" + namespaceName + "|(null)",
                                          "Initialize|" + kv::str::wideToUtf8(loaded)}));
    }
}

TEST_F(DelayLoadTest, FailuresAnswerACodeTheLibraryNameAndTheSystemError) {
    setValue(L"SOFTWARE\\Korvane\\NS\\wp_codes\\Zarn\\DelayLoad", 0, kLibraryW, REG_SZ,
             plant(directory_ / L"noinit", HosterApiDouble::libraryWithoutInitializePath()) + L'\0');
    const std::string longName(300, 'x');
    DelayImportModule nameless(""), longNamed(longName.c_str()), module(kLibrary);
    DelayImportProc inNameless(nameless, "KvHosterApi_Initialize"),
        inLongNamed(longNamed, "KvHosterApi_Initialize");
    DelayImportProc initialize(module, "KvHosterApi_Initialize"), unnamed(module, "");
    // clang-format off
    const struct { const char* why; DelayImportProc* probe; const wchar_t* namespaceName; std::uint32_t code; std::string dllName; DWORD error /* 0: not looked at */; } rows[] = {
        {"no probe", nullptr, L"wp_default", 3, "", 0},
        {"a library without a name", &inNameless, L"wp_default", 3, "", ERROR_INVALID_PARAMETER},
        {"an export without a name", &unnamed, L"wp_default", 3, kLibrary, ERROR_INVALID_PARAMETER},
        {"a long name is cut to 259 characters", &inLongNamed, L"wp_default", 1, longName.substr(0, 259), 0},
        {"a library without the export", &initialize, L"wp_codes", 2, kLibrary, ERROR_PROC_NOT_FOUND},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        TryLoadResult result;
        std::memcpy(result.dllName, "stale", 6);
        SetLastError(0);
        EXPECT_EQ(tryLoad(row.namespaceName, row.probe, result), row.code);
        if (row.error != 0) {
            EXPECT_EQ(GetLastError(), row.error);
        }
        EXPECT_EQ(result.code, row.code);
        EXPECT_EQ(result.dllName, row.dllName);
    }
    EXPECT_TRUE(FreeLibrary(module.handle())); // the library without the export stays loaded
}

} // namespace
