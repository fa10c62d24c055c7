#include <windows.h>

#include "hoster-api/DelayLoad.h"

#include "kvtl/Str.h"
#include "winenv/ShellFolders.h"

#include "HosterTestSupport.h"

#include "test-doubles/HosterApiDouble.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using hoster_test::setRegistryString;
using kv::doubles::HosterApiDouble;

constexpr char kLibrary[] = "kv_hoster_api_64.dll";
constexpr wchar_t kLibraryW[] = L"kv_hoster_api_64.dll";

bool endsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

void setValue(const std::wstring& key, REGSAM view, const wchar_t* name, DWORD type, const void* data,
              DWORD size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    ASSERT_TRUE(kv::test::writeValue(HKEY_LOCAL_MACHINE, key, name, type,
                                     kv::test::Bytes(bytes, bytes + size), view));
}

// Every test gets clean delay-load keys, a directory, a recording substitute library and a
// fresh import record of its own (the library it loads is released afterwards, so that
// the next test loads from its own paths).
class DelayLoadTest : public ::testing::Test {
protected:
    kv::test::RegistryTree namespaces_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS"};
    kv::test::RegistryTree identifiers_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\Delay loading"};
    kv::test::TempDirectory directory_;
    HosterApiDouble double_{directory_ / L"calls.txt"};
    DelayImportModule module_{kLibrary};
    DelayImportProc initialize_{module_, "KvHosterApi_Initialize"};

    void TearDown() override {
        if (HMODULE module = module_.handle()) {
            FreeLibrary(module);
        }
    }

    // A copy of a substitute library in its own sub-directory `label`.
    std::wstring plantLibrary(const std::wstring& label,
                              const std::wstring& source = HosterApiDouble::libraryPath()) {
        const std::wstring folder = directory_ / label;
        CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring path = folder + L"\\" + kLibraryW;
        EXPECT_TRUE(CopyFileW(source.c_str(), path.c_str(), FALSE)) << GetLastError();
        return path;
    }
};

TEST_F(DelayLoadTest, ReadRegistryPathReadsTheThreeStringTypesAsStoredAndSetsTheErrorOfAFailure) {
    const std::wstring key = L"SOFTWARE\\Korvane\\NS\\wp_read\\Zarn\\DelayLoad";
    const wchar_t withoutNul[] = {L'C', L':', L'\\', L'x'};
    const wchar_t multi[] = L"C:\\a.dll\0C:\\b.dll\0";
    const DWORD number = 7;
    setRegistryString(key, 0, L"sz", L"C:\\dir\\lib.dll");
    setValue(key, 0, L"noNul", REG_SZ, withoutNul, sizeof(withoutNul));
    setRegistryString(key, 0, L"expand", L"%SystemRoot%\\lib.dll", REG_EXPAND_SZ);
    setValue(key, 0, L"multi", REG_MULTI_SZ, multi, sizeof(multi));
    setRegistryString(key, 0, L"empty", L"");
    setValue(key, 0, L"dword", REG_DWORD, &number, sizeof(number));
    setRegistryString(key, KEY_WOW64_32KEY, L"only32", L"C:\\lib32.dll");
    const struct {
        std::wstring key;
        const wchar_t* value;
        REGSAM view;
        std::wstring expected;
        DWORD error; // the last error after a failure, which answers ""
    } rows[] = {
        {key, L"sz", 0, L"C:\\dir\\lib.dll", 0},
        {key, L"noNul", 0, L"C:\\x", 0},
        {key, L"expand", 0, L"%SystemRoot%\\lib.dll", 0}, // never expanded
        {key, L"multi", 0, std::wstring(L"C:\\a.dll\0C:\\b.dll", 17) + L'\0', 0},
        {key, L"only32", KEY_WOW64_32KEY, L"C:\\lib32.dll", 0},
        {key + L"\\absent", L"x", 0, L"", ERROR_BADKEY},
        {key, L"absent", 0, L"", ERROR_INVALID_NAME},
        {key, L"dword", 0, L"", ERROR_INVALID_NAME},
        {key, L"only32", 0, L"", ERROR_INVALID_NAME}, // only in the other view
    };
    for (const auto& row : rows) {
        SetLastError(0);
        EXPECT_EQ(readRegistryPath(HKEY_LOCAL_MACHINE, row.key, row.value, row.view), row.expected)
            << row.value;
        if (row.error != 0) {
            EXPECT_EQ(GetLastError(), row.error) << row.value;
        }
    }
    EXPECT_EQ(readRegistryPath(HKEY_LOCAL_MACHINE, key, L"empty", 0), L"");
}

// The five candidate keys in search order (A1 to A3 of the namespace, B1 and B2 of its
// identifier), DelayLoadArm64 in the 64-bit view, which is none, and A1 of wp_default.
enum Where { A1, A2, A3, B1, B2, Arm64View64, DefaultA1, Nowhere };
// The path forms after RelativePath name a planted library that the loader would load
// (or refuse by itself with an error of its own), were they not refused first.
enum What {
    Library,
    MissingFile,
    KeyOnly,
    MultiString,
    RelativePath,
    Unc,
    DeviceQ,
    DeviceDot,
    DriveRelative,
    Rooted,
    SubRelative
};

struct Placement {
    Where where;
    What what;
};

struct SearchRow {
    const char* why;
    const wchar_t* namespaceName;
    std::vector<Placement> placements;
    Where loaded; // Nowhere: the search fails
    DWORD error;  // the system error reported when it fails
};

std::ostream& operator<<(std::ostream& out, const SearchRow& row) {
    return out << row.why;
}

class DelayLoadSearch : public DelayLoadTest, public ::testing::WithParamInterface<SearchRow> {
protected:
    static std::wstring label(Where where) { return L"candidate" + std::to_wstring(where); }

    // The current directory is the test's directory while it searches (see the test).
    std::wstring hostilePath(What what, const std::wstring& folder) {
        const std::wstring planted = plantLibrary(folder);
        const std::wstring below = folder + L"\\" + kLibraryW;
        switch (what) {
            case Unc:
                return L"\\\\kvserver\\share\\" + below;
            case DeviceQ:
                return L"\\\\?\\" + planted;
            case DeviceDot:
                return L"\\\\.\\" + planted;
            case DriveRelative:
                return planted.substr(0, 2) + below;
            case Rooted:
                return planted.substr(2);
            default:
                return below;
        }
    }

    void place(const std::wstring& namespaceName, const Placement& placement) {
        const std::wstring identifier = namespaceName == L"default"       ? L"100"
                                        : namespaceName == L"mvx_default" ? L"1500"
                                                                          : L"1400";
        const std::wstring zarn = L"SOFTWARE\\Korvane\\NS\\" + namespaceName + L"\\Zarn";
        const struct {
            std::wstring key;
            REGSAM view;
        } keys[] = {
            {zarn + L"\\DelayLoad", 0},
            {zarn + L"\\DelayLoadArm64", KEY_WOW64_32KEY},
            {zarn + L"\\DelayLoad", KEY_WOW64_32KEY},
            {L"SOFTWARE\\Korvane\\Zarn\\Delay loading\\" + identifier, 0},
            {L"SOFTWARE\\Korvane\\Zarn\\Delay loading\\" + identifier, KEY_WOW64_32KEY},
            {zarn + L"\\DelayLoadArm64", KEY_WOW64_64KEY},
            {L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad", 0},
        };
        const std::wstring& key = keys[placement.where].key;
        const REGSAM view = keys[placement.where].view;
        switch (placement.what) {
            case Library:
                setRegistryString(key, view, kLibraryW, plantLibrary(label(placement.where)));
                break;
            case MissingFile:
                setRegistryString(key, view, kLibraryW, directory_ / L"absent\\kv_hoster_api_64.dll");
                break;
            case KeyOnly:
                setValue(key, view, nullptr, 0, nullptr, 0);
                break;
            case MultiString: {
                // Two strings, each with its NUL, and the NUL that ends the block (from c_str).
                const std::wstring block =
                    plantLibrary(label(placement.where)) + L'\0' + (directory_ / L"absent.dll") + L'\0';
                setValue(key, view, kLibraryW, REG_MULTI_SZ, block.c_str(),
                         static_cast<DWORD>((block.size() + 1) * sizeof(wchar_t)));
                break;
            }
            case RelativePath:
                // The substitute lies beside the test program, where a search would find it.
                setRegistryString(key, view, kLibraryW, kLibraryW);
                break;
            default:
                setRegistryString(key, view, kLibraryW, hostilePath(placement.what, label(placement.where)));
                break;
        }
    }
};

TEST_P(DelayLoadSearch, LoadsTheFirstCandidateThatYieldsAModule) {
    const SearchRow& row = GetParam();
    for (const Placement& placement : row.placements) {
        place(row.namespaceName, placement);
    }
    wchar_t previousDirectory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previousDirectory);
    SetCurrentDirectoryW(directory_.path().c_str());
    TryLoadResult result;
    const std::uint32_t code = tryLoad(row.namespaceName, &initialize_, result);
    const DWORD error = GetLastError();
    SetCurrentDirectoryW(previousDirectory);
    if (row.loaded == Nowhere) {
        EXPECT_EQ(code, 1u);
        EXPECT_STREQ(result.dllName, kLibrary);
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(module_.handle(), nullptr);
        EXPECT_TRUE(double_.calls().empty());
        return;
    }
    ASSERT_EQ(code, 0u);
    EXPECT_STREQ(result.dllName, "");
    const std::wstring loaded = getModuleFileName(module_.handle());
    EXPECT_TRUE(endsWith(loaded, L"\\" + label(row.loaded) + L"\\" + kLibraryW)) << loaded.c_str();
    // The dependency hook runs once, at the load, before the probe reaches the library.
    const std::string namespaceName = kv::str::wideToUtf8(row.namespaceName);
    const std::vector<std::string> expected = {"ZarnDelayLoadDependencies|24|0|" + namespaceName + "|(null)",
                                               "Initialize|" + kv::str::wideToUtf8(loaded)};
    EXPECT_EQ(double_.calls(), expected);
}

// clang-format off
const SearchRow kSearchRows[] = {
    {"no keys: five reads, the system directory, the error of the last read", L"wp_default", {}, Nowhere, ERROR_BADKEY},
    {"A1", L"wp_default", {{A1, Library}}, A1, 0},
    {"A2: DelayLoadArm64 in the 32-bit view", L"wp_default", {{A2, Library}}, A2, 0},
    {"A3: DelayLoad in the 32-bit view", L"wp_default", {{A3, Library}}, A3, 0},
    {"B1: identifier key 1400", L"wp_default", {{B1, Library}}, B1, 0},
    {"B2: identifier key 1400 in the 32-bit view", L"wp_default", {{B2, Library}}, B2, 0},
    {"A1 first", L"wp_default", {{A1, Library}, {A2, Library}, {A3, Library}, {B1, Library}, {B2, Library}}, A1, 0},
    {"A2 before A3 and B", L"wp_default", {{A2, Library}, {A3, Library}, {B1, Library}}, A2, 0},
    {"A3 before B", L"wp_default", {{A3, Library}, {B1, Library}}, A3, 0},
    {"B1 before B2", L"wp_default", {{B1, Library}, {B2, Library}}, B1, 0},
    {"a path to a missing file is skipped", L"wp_default", {{A1, MissingFile}, {A3, Library}}, A3, 0},
    {"a multi-string loads its first string", L"wp_default", {{A1, MultiString}}, A1, 0},
    {"a relative path is never searched for", L"wp_default", {{A1, RelativePath}}, Nowhere, ERROR_BADKEY},
    // At the last registry candidate, so that the refusal is the error reported.
    {"a UNC path is refused", L"wp_default", {{B2, Unc}}, Nowhere, ERROR_BAD_PATHNAME},
    {"a \\\\?\\ device path is refused", L"wp_default", {{B2, DeviceQ}}, Nowhere, ERROR_BAD_PATHNAME},
    {"a \\\\.\\ device path is refused", L"wp_default", {{B2, DeviceDot}}, Nowhere, ERROR_BAD_PATHNAME},
    {"a drive-relative path is refused", L"wp_default", {{B2, DriveRelative}}, Nowhere, ERROR_BAD_PATHNAME},
    {"a rooted path is refused", L"wp_default", {{B2, Rooted}}, Nowhere, ERROR_BAD_PATHNAME},
    {"a path relative to the current directory is refused", L"wp_default", {{B2, SubRelative}}, Nowhere, ERROR_BAD_PATHNAME},
    {"the last key read exists without the value", L"wp_default", {{B2, KeyOnly}}, Nowhere, ERROR_INVALID_NAME},
    {"DelayLoadArm64 in the 64-bit view is no candidate", L"wp_default", {{Arm64View64, Library}}, Nowhere, ERROR_BADKEY},
    {"the identifier table is matched case-sensitively", L"WP_DEFAULT", {{B1, Library}}, Nowhere, ERROR_BADKEY},
    {"namespace default has identifier 100", L"default", {{B1, Library}}, B1, 0},
    {"namespace mvx_default has identifier 1500", L"mvx_default", {{B2, Library}}, B2, 0},
    {"another namespace reads neither wp_default's keys nor identifier 1400", L"wp_other", {{DefaultA1, Library}, {B1, Library}}, Nowhere, ERROR_BADKEY},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, DelayLoadSearch, ::testing::ValuesIn(kSearchRows));

TEST_F(DelayLoadTest, NeverLoadsFromTheProgramDirectoryTheCurrentDirectoryOrPath) {
    // The substitute lies beside the test program; plant it in the current directory and
    // in a directory on PATH as well.
    ASSERT_NE(GetFileAttributesW(HosterApiDouble::libraryPath().c_str()), INVALID_FILE_ATTRIBUTES);
    const std::wstring current = plantLibrary(L"current");
    const std::wstring onPath = plantLibrary(L"path");
    wchar_t previousDirectory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previousDirectory);
    std::vector<wchar_t> previousPath(32768);
    GetEnvironmentVariableW(L"PATH", previousPath.data(), static_cast<DWORD>(previousPath.size()));
    SetCurrentDirectoryW((directory_ / L"current").c_str());
    SetEnvironmentVariableW(L"PATH", (directory_ / L"path;" + std::wstring(previousPath.data())).c_str());

    TryLoadResult result;
    const std::uint32_t code = tryLoad(L"wp_default", &initialize_, result);
    const DWORD error = GetLastError();

    SetCurrentDirectoryW(previousDirectory);
    SetEnvironmentVariableW(L"PATH", previousPath.data());
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BADKEY));
    EXPECT_EQ(GetModuleHandleW(kLibraryW), nullptr);
    EXPECT_TRUE(double_.calls().empty());
}

TEST_F(DelayLoadTest, FallsBackToTheSystemDirectoryAndPassesANullNamespaceWhenItIsEmpty) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring planted = std::wstring(system) + L"\\" + kLibraryW;
    ASSERT_TRUE(CopyFileW(HosterApiDouble::libraryPath().c_str(), planted.c_str(), FALSE)) << GetLastError();

    TryLoadResult result;
    const std::uint32_t code = tryLoad(L"", &initialize_, result);
    const std::wstring loaded = module_.handle() == nullptr ? L"" : getModuleFileName(module_.handle());
    FreeLibrary(module_.handle());
    DeleteFileW(planted.c_str());

    EXPECT_EQ(code, 0u);
    EXPECT_EQ(_wcsicmp(loaded.c_str(), planted.c_str()), 0) << loaded.c_str();
    const std::vector<std::string> expected = {"ZarnDelayLoadDependencies|24|0|(null)|(null)",
                                               "Initialize|" + kv::str::wideToUtf8(loaded)};
    EXPECT_EQ(double_.calls(), expected);
}

TEST_F(DelayLoadTest, TryLoadReportsCodesWithTheLibraryNameAndTheSystemError) {
    // No probe at all.
    TryLoadResult result;
    std::memcpy(result.dllName, "stale", 6);
    EXPECT_EQ(tryLoad(L"wp_default", nullptr, result), 3u);
    EXPECT_EQ(result.code, 3u);
    EXPECT_STREQ(result.dllName, "");

    // A library without a name.
    DelayImportModule nameless("");
    DelayImportProc inNameless(nameless, "KvHosterApi_Initialize");
    SetLastError(0);
    EXPECT_NE(tryLoad(L"wp_default", &inNameless, result), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // An export without a name.
    DelayImportProc unnamed(module_, "");
    EXPECT_EQ(tryLoad(L"wp_default", &unnamed, result), 3u);
    EXPECT_STREQ(result.dllName, kLibrary);

    // A library without the probed export: the library stays loaded, the export is missing.
    setRegistryString(L"SOFTWARE\\Korvane\\NS\\wp_codes\\Zarn\\DelayLoad", 0, kLibraryW,
                      plantLibrary(L"noinit", HosterApiDouble::libraryWithoutInitializePath()));
    EXPECT_EQ(tryLoad(L"wp_codes", &initialize_, result), 2u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_STREQ(result.dllName, kLibrary);
    EXPECT_NE(module_.handle(), nullptr);
}

TEST_F(DelayLoadTest, TruncatesALongLibraryNameTo259Characters) {
    const std::string longName(300, 'x');
    DelayImportModule module(longName.c_str());
    DelayImportProc proc(module, "KvHosterApi_Initialize");
    TryLoadResult result;
    EXPECT_EQ(tryLoad(L"wp_default", &proc, result), 1u);
    EXPECT_EQ(std::string(result.dllName), longName.substr(0, 259));
}

TEST_F(DelayLoadTest, ABoundLibraryIsNotSearchedAgain) {
    setRegistryString(L"SOFTWARE\\Korvane\\NS\\wp_again\\Zarn\\DelayLoad", 0, kLibraryW,
                      plantLibrary(L"again"));
    TryLoadResult result;
    ASSERT_EQ(tryLoad(L"wp_again", &initialize_, result), 0u);
    namespaces_.clear();
    double_.clearCalls();

    // The second probe calls the export again but neither searches nor runs the hook.
    EXPECT_EQ(tryLoad(L"wp_again", &initialize_, result), 0u);
    DelayImportProc running(module_, "KvHosterApi_IsHosterRunning");
    DelayLoadFault fault;
    EXPECT_NE(running.bind(fault), nullptr);
    const std::vector<std::string> calls = double_.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("Initialize|", 0), 0u);
}

TEST_F(DelayLoadTest, ThreadsBindingOneLibraryAtOnceShareOneHandleAndOneReference) {
    const std::wstring path = plantLibrary(L"race");
    setRegistryString(L"SOFTWARE\\Korvane\\NS\\wp_race\\Zarn\\DelayLoad", 0, kLibraryW, path);
    // Records the namespace to search under; the absent library fails, as it should.
    DelayImportModule absent("kv_absent_library.dll");
    DelayImportProc absentProc(absent, "KvHosterApi_Initialize");
    TryLoadResult result;
    ASSERT_EQ(tryLoad(L"wp_race", &absentProc, result), 1u);

    for (int round = 0; round < 20; ++round) {
        DelayImportModule module(kLibrary);
        DelayImportProc running(module, "KvHosterApi_IsHosterRunning");
        DelayImportProc start(module, "KvHosterApi_StartPlugin");
        std::atomic<int> ready{0};
        const auto bind = [&ready](DelayImportProc* proc, FARPROC* address) {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            DelayLoadFault fault;
            *address = proc->bind(fault);
        };
        FARPROC first = nullptr;
        FARPROC second = nullptr;
        std::thread one(bind, &running, &first);
        std::thread two(bind, &start, &second);
        one.join();
        two.join();
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        HMODULE handle = module.handle();
        ASSERT_EQ(_wcsicmp(getModuleFileName(handle).c_str(), path.c_str()), 0);
        // One FreeLibrary unloads it: no second reference was kept.
        FreeLibrary(handle);
        EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr) << "round " << round;
    }
}

} // namespace
