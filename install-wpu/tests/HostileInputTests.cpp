// Random and edge-case data for every reader of data from outside the program, in this
// process, and a few runs of the real installer over a random registry. Every run draws
// a new seed and prints it; KV_HOSTILE_SEED=<seed> replays that run (with
// --gtest_filter for one reader). An answer is checked against the reader's contract;
// a crash or a hang fails the whole executable.
#include <windows.h>

#include "hoster-api/DelayLoad.h"
#include "install-wpu/OperatingMode.h"
#include "install-wpu/UpdateStatus.h"
#include "kvtl/Handle.h"
#include "kvtl/Str.h"
#include "logging/Config.h"
#include "winenv/NamespaceResolver.h"
#include "winenv/Registry.h"
#include "winenv/ShellFolders.h"

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Rng = std::mt19937_64;

std::uint64_t runSeed() {
    static const std::uint64_t seed = [] {
        wchar_t text[32] = {};
        const DWORD length = GetEnvironmentVariableW(L"KV_HOSTILE_SEED", text, 32);
        if (length != 0 && length < 32) {
            return static_cast<std::uint64_t>(std::wcstoull(text, nullptr, 0));
        }
        LARGE_INTEGER counter = {};
        QueryPerformanceCounter(&counter);
        return static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15ull ^ GetCurrentProcessId();
    }();
    return seed;
}

// Each test draws from its own stream, so that one test replays alone.
Rng testRng() {
    const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    return Rng(runSeed() ^ std::hash<std::string>{}(name));
}

int totalInputs = 0;

class SeedPrinter : public testing::EmptyTestEventListener {
    void OnTestProgramStart(const testing::UnitTest&) override {
        std::printf("hostile input seed %llu (replay: KV_HOSTILE_SEED=%llu)\n",
                    static_cast<unsigned long long>(runSeed()), static_cast<unsigned long long>(runSeed()));
        std::fflush(stdout);
    }
    void OnTestProgramEnd(const testing::UnitTest&) override {
        std::printf("hostile input: %d inputs, seed %llu\n", totalInputs,
                    static_cast<unsigned long long>(runSeed()));
    }
};

const bool seedPrinterInstalled = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new SeedPrinter);
    return true;
}();

// UTF-16 units that readers treat specially: NUL, separators, periods, variable marks,
// blanks, line ends, lone and paired surrogates, byte-order marks, non-characters.
constexpr wchar_t SpecialUnits[] = {0,      L'\\',  L'/',   L'.',   L':',   L'%',   L' ',
                                    L'\t',  L'\r',  L'\n',  L'<',   L'>',   L'"',   L'|',
                                    L'?',   L'*',   0x00E9, 0x0130, 0x212A, 0xD800, 0xDBFF,
                                    0xDC00, 0xDFFF, 0xFEFF, 0xFFFE, 0xFFFF, 0x0085, 0x2028};
// clang-format off
const wchar_t* const Words[] = {
    L"true", L"TRUE", L"True", L"yes", L"YES", L"on", L"1", L"0", L" true", L"true ", L"tru", L"active",
    L"previous", L"inactive", L"acme", L"C:\\dir\\x.dll", L"%ProgramData%", L"\\\\server\\share\\x.dll",
    L"\\\\?\\C:\\x.dll", L"C:x.dll", L"\\x.dll", L"sub\\x.dll", L"%wp_module%", L"%%", L"%", L"..", L"CON"};
// clang-format on

template <class Int>
Int draw(Rng& rng, Int low, Int high) {
    return std::uniform_int_distribution<Int>(low, high)(rng);
}

bool chance(Rng& rng, int percent) {
    return draw(rng, 0, 99) < percent;
}

// One unit from one draw: a special one, any unit at all, or a printable one; now and
// then a whole word instead.
std::wstring randomText(Rng& rng, size_t length) {
    std::wstring text;
    text.reserve(length + 32);
    while (text.size() < length) {
        const std::uint64_t bits = rng();
        if (bits % 100 < 3) {
            text += Words[(bits >> 8) % std::size(Words)];
            continue;
        }
        switch ((bits >> 8) % 4) {
            case 0:
                text += SpecialUnits[(bits >> 16) % std::size(SpecialUnits)];
                break;
            case 1:
                text += static_cast<wchar_t>(bits >> 32);
                break;
            default:
                text += static_cast<wchar_t>(L' ' + (bits >> 16) % 95);
                break;
        }
    }
    text.resize(length);
    return text;
}

// Mostly small, sometimes near the boundaries readers care about, rarely up to 1 MB.
size_t randomSize(Rng& rng) {
    const int bucket = draw(rng, 0, 9999);
    if (bucket < 5000) {
        return draw<size_t>(rng, 0, 16);
    }
    if (bucket < 8500) {
        return draw<size_t>(rng, 17, 600);
    }
    if (bucket < 9990) {
        return draw<size_t>(rng, 601, 8192);
    }
    if (bucket < 9996) {
        return draw<size_t>(rng, 8193, 1 << 20);
    }
    return bucket % 2 == 0 ? size_t{1} << 20 : (size_t{1} << 20) - 1;
}

Bytes bytesOf(const std::wstring& text) {
    Bytes bytes(text.size() * sizeof(wchar_t));
    if (!bytes.empty()) {
        std::memcpy(bytes.data(), text.data(), bytes.size());
    }
    return bytes;
}

// Text as a string value may hold it: one terminating NUL, none, two, or an odd byte more.
Bytes encodeText(Rng& rng, std::wstring text) {
    const int form = draw(rng, 0, 3);
    if (form == 0 || form == 3) {
        text += L'\0';
    }
    if (form == 2) {
        text += std::wstring(2, L'\0');
    }
    Bytes bytes = bytesOf(text);
    if (form == 3) {
        bytes.push_back(static_cast<std::uint8_t>(draw(rng, 0, 255)));
    }
    return bytes;
}

struct Value {
    DWORD type = REG_NONE;
    Bytes bytes;
};

// A registry value of any type (mostly the documented ones, string types and REG_DWORD
// more often), holding random bytes, text or a number of any width.
Value randomValue(Rng& rng) {
    Value value;
    const int typeKind = draw(rng, 0, 9);
    value.type = typeKind < 6   ? draw<DWORD>(rng, 0, 11)
                 : typeKind < 8 ? std::vector<DWORD>{REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ}[draw(rng, 0, 2)]
                 : typeKind < 9 ? REG_DWORD
                                : static_cast<DWORD>(rng());
    switch (draw(rng, 0, 4)) {
        case 0:
        case 1: {
            value.bytes.resize(randomSize(rng));
            for (auto& byte : value.bytes) {
                byte = static_cast<std::uint8_t>(rng());
            }
            break;
        }
        case 2:
        case 3: {
            const size_t length = chance(rng, 30) ? draw<size_t>(rng, 0, 8) : randomSize(rng) / 2;
            std::wstring text = randomText(rng, length);
            if (value.type == REG_MULTI_SZ && chance(rng, 50)) {
                text += std::wstring(1, L'\0') + randomText(rng, draw<size_t>(rng, 0, 8));
            }
            value.bytes =
                encodeText(rng, chance(rng, 20) ? Words[draw<size_t>(rng, 0, std::size(Words) - 1)] : text);
            break;
        }
        default: {
            const std::uint64_t numbers[] = {0, 1, 2, 6, 50, 0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull, rng()};
            const std::uint64_t number = numbers[draw<size_t>(rng, 0, std::size(numbers) - 1)];
            const size_t width = chance(rng, 70) ? (chance(rng, 50) ? 4 : 8) : draw<size_t>(rng, 0, 12);
            value.bytes.assign(width, 0);
            std::memcpy(value.bytes.data(), &number, std::min(width, sizeof(number)));
            break;
        }
    }
    return value;
}

std::wstring unitsOf(const Bytes& bytes) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
    }
    return text;
}

// A string read back: whole characters, one trailing NUL dropped.
std::wstring storedText(const Bytes& bytes) {
    std::wstring text = unitsOf(bytes);
    if (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

bool isString(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

bool isDwordOfFourBytes(const Value& value) {
    return value.type == REG_DWORD && value.bytes.size() == 4;
}

DWORD dwordOf(const Value& value) {
    DWORD number = 0;
    std::memcpy(&number, value.bytes.data(), sizeof(number));
    return number;
}

std::vector<std::wstring> multiStringOf(const Bytes& bytes) {
    const std::wstring text = unitsOf(bytes);
    std::vector<std::wstring> values;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos || end == start) {
            return values;
        }
        values.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::wstring asciiLower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

// Compares texts, lists and bytes of up to a megabyte without printing them whole.
template <class Sequence>
testing::AssertionResult same(const Sequence& actual, const Sequence& expected) {
    if (actual == expected) {
        return testing::AssertionSuccess();
    }
    const auto difference = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return testing::AssertionFailure()
           << actual.size() << " elements where " << expected.size()
           << " were expected; the first difference at " << (difference.first - actual.begin());
}

// Names an input in a failure message.
std::string describe(int index, const Value& value) {
    return "input " + std::to_string(index) + " (type " + std::to_string(value.type) + ", " +
           std::to_string(value.bytes.size()) + " bytes)";
}

// One key held open for writing, in one view, below HKEY_LOCAL_MACHINE.
class WritableKey {
public:
    WritableKey(const std::wstring& path, REGSAM view) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                                  nullptr, key_.put(), nullptr),
                  ERROR_SUCCESS)
            << path;
    }
    // The system adds a terminator to a string whose data is followed by a NUL in
    // memory; the data is followed by a non-NUL unit, so the value holds exactly them.
    void set(const wchar_t* name, const Value& value) const {
        Bytes data = value.bytes;
        data.insert(data.end(), {0xFF, 0xFF, 0xFF});
        ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, value.type, data.data(),
                                 static_cast<DWORD>(value.bytes.size())),
                  ERROR_SUCCESS)
            << "type " << value.type << ", " << value.bytes.size() << " bytes";
    }

private:
    kv::UniqueHkey key_;
};

constexpr wchar_t ProductRoot[] = L"SOFTWARE\\Korvane\\Wisp";

class HostileInput : public testing::Test {
protected:
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
    Rng rng_ = testRng();
    int inputs_ = 0;

    void TearDown() override {
        std::printf("%s: %d inputs\n", testing::UnitTest::GetInstance()->current_test_info()->name(),
                    inputs_);
        totalInputs += inputs_;
    }
};

TEST_F(HostileInput, RegistryLayerReadersAnswerWhatTheValueHolds) {
    const std::wstring keyPath = std::wstring(ProductRoot) + L"\\HostileInput";
    const WritableKey key(keyPath, KEY_WOW64_64KEY);
    LightWin32Registry registry;
    registry.setSamFlags(KEY_WOW64_64KEY);
    for (int i = 0; i < 5000 && !HasFailure(); ++i, inputs_ += 9) {
        const Value value = randomValue(rng_);
        key.set(L"v", value);
        SCOPED_TRACE(describe(i, value));
        const DWORD type = value.type;
        RegistryStatus status = RegistryStatus::Ok;

        EXPECT_EQ(registry.getValueType(keyPath, L"v", &status), type);
        EXPECT_EQ(status, RegistryStatus::Ok);

        std::wstring text = L"stale";
        const bool textOk = registry.getString(keyPath, L"v", text, &status);
        EXPECT_EQ(textOk, isString(type));
        EXPECT_EQ(status, isString(type) ? RegistryStatus::Ok : RegistryStatus::TypeMismatch);
        EXPECT_TRUE(same(text, isString(type) ? storedText(value.bytes) : std::wstring()));
        std::string narrow = "stale";
        EXPECT_EQ(registry.getString(keyPath, L"v", narrow), textOk);
        EXPECT_TRUE(same(narrow, kv::str::wideToUtf8(text)));

        DWORD number = 0xA5A5A5A5;
        const bool dwordType = type == REG_DWORD || type == REG_NONE;
        const bool dwordOk = dwordType && value.bytes.size() == 4;
        EXPECT_EQ(registry.getDword(keyPath, L"v", number, &status), dwordOk);
        EXPECT_EQ(status, dwordOk     ? RegistryStatus::Ok
                          : dwordType ? RegistryStatus::Failed
                                      : RegistryStatus::TypeMismatch);
        EXPECT_EQ(number, dwordOk ? dwordOf(value) : 0xA5A5A5A5);

        std::uint64_t wide = 0xA5A5A5A5A5A5A5A5ull;
        const bool qwordType = type == REG_QWORD || type == REG_NONE;
        const bool qwordOk = qwordType && value.bytes.size() == 8;
        std::uint64_t expectedWide = 0xA5A5A5A5A5A5A5A5ull;
        if (qwordOk) {
            std::memcpy(&expectedWide, value.bytes.data(), 8);
        }
        EXPECT_EQ(registry.getQword(keyPath, L"v", wide, &status), qwordOk);
        EXPECT_EQ(status, qwordOk     ? RegistryStatus::Ok
                          : qwordType ? RegistryStatus::Failed
                                      : RegistryStatus::TypeMismatch);
        EXPECT_EQ(wide, expectedWide);

        std::vector<std::wstring> list = {L"stale"};
        EXPECT_EQ(registry.getMultiString(keyPath, L"v", list, &status), type == REG_MULTI_SZ);
        EXPECT_TRUE(
            same(list, type == REG_MULTI_SZ ? multiStringOf(value.bytes) : std::vector<std::wstring>()));

        Bytes binary = {1};
        EXPECT_EQ(registry.getBinary(keyPath, L"v", binary, &status), type == REG_BINARY);
        EXPECT_TRUE(same(binary, type == REG_BINARY ? value.bytes : Bytes()));

        Bytes raw;
        DWORD rawType = 0xFFFF;
        EXPECT_TRUE(registry.getRawValue(keyPath, L"v", raw, rawType));
        EXPECT_TRUE(same(raw, value.bytes));
        EXPECT_EQ(rawType, type);
    }
}

// "rook" and "TEBMode" below the product root, and the "status" values the bookkeeping
// reads before it rewrites them.
TEST_F(HostileInput, ProductRootReadersAnswerTheirModesAndStatuses) {
    const WritableKey root(ProductRoot, KEY_WOW64_64KEY);
    const WritableKey updates(std::wstring(ProductRoot) + L"\\updates", KEY_WOW64_64KEY);
    const std::wstring module = std::wstring(ProductRoot) + L"\\updates\\m";
    const WritableKey versions[] = {{module + L"\\1", KEY_WOW64_64KEY},
                                    {module + L"\\2", KEY_WOW64_64KEY},
                                    {module + L"\\3", KEY_WOW64_64KEY}};
    for (int i = 0; i < 600 && !HasFailure(); ++i, inputs_ += 2) {
        const Value rook = randomValue(rng_);
        const Value teb = randomValue(rng_);
        root.set(L"rook", rook);
        updates.set(L"TEBMode", teb);
        EXPECT_EQ(isROOKOperatingMode(), (rook.type == REG_DWORD || rook.type == REG_NONE) &&
                                             rook.bytes.size() == 4 && dwordOf(rook) != 0)
            << i;
        const std::wstring word = asciiLower(storedText(teb.bytes));
        EXPECT_EQ(isTEBMode(),
                  isString(teb.type) && (word == L"true" || word == L"1" || word == L"on" || word == L"yes"))
            << i;
    }
    for (int i = 0; i < 100 && !HasFailure(); ++i, inputs_ += 3) {
        bool wasActive[3] = {};
        for (int v = 0; v < 3; ++v) {
            const Value status = randomValue(rng_);
            versions[v].set(L"status", status);
            wasActive[v] = isString(status.type) && storedText(status.bytes) == L"active";
        }
        const bool keepPrevious = chance(rng_, 50);
        wp::markActiveVersion(L"m", L"2", keepPrevious);
        for (int v = 0; v < 3; ++v) {
            const std::wstring expected = v == 1                         ? L"active"
                                          : keepPrevious && wasActive[v] ? L"previous"
                                                                         : L"inactive";
            EXPECT_EQ(wpu::test::registryString(module + L"\\" + std::to_wstring(v + 1), L"status"), expected)
                << i << " version " << v + 1;
        }
    }
}

// The logging library's own readers of SOFTWARE\Korvane\Zarn\Logging (32-bit view) and
// its three-level lookup.
TEST_F(HostileInput, LoggingConfigurationReadersFallBackOnAnythingButTheirType) {
    const std::wstring logging = L"SOFTWARE\\Korvane\\Zarn\\Logging";
    const WritableKey levels[] = {{logging + L"\\Wisp\\install-x", KEY_WOW64_32KEY},
                                  {logging + L"\\Wisp", KEY_WOW64_32KEY},
                                  {logging, KEY_WOW64_32KEY}};
    const std::wstring defaultRoot = KvZarnLogging::readLoggingRoot(KvZarnLogging::RootKind::Machine);
    const wchar_t* const names[] = {L"LogLevel", L"LogMaxSizeKB", L"DebugOutputLogging"};
    for (int i = 0; i < 1000 && !HasFailure(); ++i, inputs_ += 4) {
        const wchar_t* const name = names[i % 3];
        DWORD expected = i % 3 == 0 ? 4 : i % 3 == 1 ? 50 : 0;
        bool decided = false;
        for (int level = 0; level < 3; ++level) {
            const Value value = randomValue(rng_);
            levels[level].set(name, value);
            // The file's and the component's settings count only when not 0xFFFFFFFF.
            if (!decided && isDwordOfFourBytes(value) && (level == 2 || dwordOf(value) != 0xFFFFFFFFu)) {
                expected = dwordOf(value);
                decided = true;
            }
        }
        if (i % 3 == 0) {
            EXPECT_EQ(KvZarnLogging::readLogLevel(L"Wisp", L"install-x", 4), static_cast<int>(expected)) << i;
        } else if (i % 3 == 1) {
            EXPECT_EQ(KvZarnLogging::readMaxSize(L"Wisp", L"install-x"), std::uint64_t{expected} * 1024) << i;
        } else {
            EXPECT_EQ(KvZarnLogging::readDebugOutput(L"Wisp", L"install-x"), expected != 0) << i;
        }

        const Value root = randomValue(rng_);
        levels[2].set(L"RootPath", root);
        const std::wstring rootText = isString(root.type) ? storedText(root.bytes) : L"";
        EXPECT_TRUE(
            same(KvZarnLogging::readRegistryString(HKEY_LOCAL_MACHINE, logging, L"RootPath", KEY_WOW64_32KEY),
                 rootText))
            << i;
        EXPECT_TRUE(same(KvZarnLogging::readLoggingRoot(KvZarnLogging::RootKind::Machine),
                         rootText.empty() ? defaultRoot : rootText))
            << i;
        EXPECT_EQ(
            KvZarnLogging::readRegistryDword(HKEY_LOCAL_MACHINE, logging, L"RootPath", KEY_WOW64_32KEY, 77),
            isDwordOfFourBytes(root) ? dwordOf(root) : 77u)
            << i;
    }
}

// The delay-load keys: the path reader, and whole searches over random values, none of
// which names a library that exists.
TEST_F(HostileInput, DelayLoadReadersTakeOnlyStringsAndLoadNothingElse) {
    const std::wstring key = L"SOFTWARE\\Korvane\\NS\\wp_hostile\\Zarn\\DelayLoad";
    const WritableKey paths(key, 0);
    for (int i = 0; i < 6000 && !HasFailure(); ++i, ++inputs_) {
        const Value value = randomValue(rng_);
        paths.set(L"kv_hostile.dll", value);
        SetLastError(0);
        const std::wstring path = readRegistryPath(HKEY_LOCAL_MACHINE, key, L"kv_hostile.dll", 0);
        const bool string = isString(value.type) || value.type == REG_MULTI_SZ;
        EXPECT_TRUE(same(path, string ? storedText(value.bytes) : std::wstring())) << i;
        if (!string) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << i;
        }
    }
    const WritableKey candidates[] = {
        {key, 0},
        {L"SOFTWARE\\Korvane\\NS\\wp_hostile\\Zarn\\DelayLoadArm64", KEY_WOW64_32KEY},
        {L"SOFTWARE\\Korvane\\Zarn\\Delay loading\\1400", 0},
    };
    for (int i = 0; i < 300 && !HasFailure(); ++i, inputs_ += 3) {
        for (const WritableKey& candidate : candidates) {
            candidate.set(L"kv_hostile.dll", randomValue(rng_));
        }
        const std::wstring namespaceName = i % 3 == 0   ? L"wp_hostile"
                                           : i % 3 == 1 ? L"wp_default"
                                                        : randomText(rng_, draw<size_t>(rng_, 0, 40));
        DelayImportModule module("kv_hostile.dll");
        DelayImportProc initialize(module, "KvHosterApi_Initialize");
        TryLoadResult result;
        EXPECT_EQ(tryLoad(namespaceName.c_str(), &initialize, result), 1u) << i;
        EXPECT_STREQ(result.dllName, "kv_hostile.dll") << i;
        EXPECT_EQ(module.handle(), nullptr) << i;
    }
}

// The resolver with the test's directory as the program files folder and no install paths.
class TemporaryProgramFiles : public NamespaceResolver {
public:
    explicit TemporaryProgramFiles(std::wstring directory) : directory_(std::move(directory)) {}
    std::map<std::wstring, std::wstring> getInstallPaths() override { return {}; }
    std::wstring getProgramFilesDir() override { return directory_; }
    std::wstring getProgramFilesX86Dir() override { return {}; }

private:
    std::wstring directory_;
};

// namespace.txt of any size up to 600 bytes, with or without a byte-order mark, and the
// "InstallPath" values of the namespace keys.
TEST_F(HostileInput, NamespaceReadersAnswerTheDefaultOrANameFromTheData) {
    kv::test::TempDirectory programFiles;
    ASSERT_TRUE(CreateDirectoryW((programFiles / L"Korvane").c_str(), nullptr));
    const std::wstring file = programFiles / L"Korvane\\namespace.txt";
    // The search reads only namespace.txt beside the installer, the first directory below
    // the program files folder.
    const std::wstring installer = programFiles / L"Korvane\\install-wpu.exe";
    TemporaryProgramFiles resolver(programFiles.path());
    for (int i = 0; i < 1500 && !HasFailure(); ++i, ++inputs_) {
        const int mark = draw(rng_, 0, 9);
        Bytes content = mark < 7    ? Bytes{0xFF, 0xFE}
                        : mark == 7 ? Bytes{0xFE, 0xFF}
                        : mark == 8 ? Bytes{0xFF}
                                    : Bytes{};
        const size_t size = chance(rng_, 20) ? draw<size_t>(rng_, 0, 6) : draw<size_t>(rng_, 0, 600);
        const std::wstring text =
            chance(rng_, 25) ? L"acme_" + std::to_wstring(i) : randomText(rng_, size / 2);
        const Bytes body = bytesOf(text);
        content.insert(content.end(), body.begin(), body.end());
        if (chance(rng_, 20)) {
            content.push_back(static_cast<std::uint8_t>(rng_()));
        }
        content.resize(std::min<size_t>(content.size(), 600));
        {
            kv::UniqueFile out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(out);
            DWORD written = 0;
            ASSERT_TRUE(
                WriteFile(out.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
        }
        // Only the first 512 bytes count, and only after the FF FE mark.
        const size_t read = std::min<size_t>(content.size(), 512);
        const std::wstring name = read >= 3 && content[0] == 0xFF && content[1] == 0xFE
                                      ? unitsOf(Bytes(content.begin() + 2, content.begin() + read))
                                      : L"";
        const std::wstring answer = resolver.namespaceForPath(installer);
        EXPECT_TRUE(answer.empty() || answer == name) << i;
        EXPECT_EQ(answer.find_first_of(L"\\/."), std::wstring::npos) << i;
        EXPECT_TRUE(std::none_of(answer.begin(), answer.end(), [](wchar_t c) { return c < 0x20; })) << i;
        if (name.find_first_not_of(L"abcdefghijklmnopqrstuvwxyz_0123456789") == std::wstring::npos) {
            EXPECT_EQ(answer, name) << i << ": a plain name is the answer";
        }
    }

    const WritableKey installPath(L"SOFTWARE\\Korvane\\NS\\hostile\\Corelane", KEY_WOW64_32KEY);
    NamespaceResolver registered;
    for (int i = 0; i < 1500 && !HasFailure(); ++i, ++inputs_) {
        const Value value = randomValue(rng_);
        installPath.set(L"InstallPath", value);
        std::wstring expected = isString(value.type) ? storedText(value.bytes) : L"";
        if (!expected.empty() && expected.back() != L'\\') {
            expected += L'\\';
        }
        const auto paths = registered.getInstallPaths();
        const auto found = paths.find(L"hostile");
        EXPECT_TRUE(same(found == paths.end() ? std::wstring() : found->second, expected)) << i;
        EXPECT_EQ(paths.size(), expected.empty() ? 0u : 1u) << i;
    }
}

// The platform reads environment values into buffers of 32,767 characters with the NUL:
// a value of 32,767 characters may come back without its last one.
testing::AssertionResult sameAsSet(const std::wstring& answer, const std::wstring& value) {
    if (value.size() == 32767 && answer == value.substr(0, 32766)) {
        return testing::AssertionSuccess();
    }
    return same(answer, value);
}

// wp_module, wp_version and wp_title up to 32,767 characters, and the expansion of
// variables that hold such values.
TEST_F(HostileInput, EnvironmentReadersAnswerTheValuesAsSet) {
    wpu::test::ScopedEnvironment environment;
    const wchar_t* const names[] = {L"wp_module", L"wp_version", L"wp_title"};
    for (const wchar_t* name : names) {
        environment.unset(name);
    }
    for (int i = 0; i < 10000 && !HasFailure(); ++i, inputs_ += 5) {
        std::wstring values[3];
        for (int v = 0; v < 3; ++v) {
            const int kind = draw(rng_, 0, 99);
            const size_t length = kind < 10    ? 0
                                  : kind == 10 ? 32767
                                  : kind == 11 ? 32766
                                  : kind == 12 ? 32765
                                  : kind < 16  ? draw<size_t>(rng_, 0, 32767)
                                               : draw<size_t>(rng_, 1, 40);
            // A value cannot hold a NUL; an empty one unsets the variable.
            values[v] = randomText(rng_, length);
            std::replace(values[v].begin(), values[v].end(), L'\0', L'=');
            ASSERT_TRUE(SetEnvironmentVariableW(names[v], values[v].empty() ? nullptr : values[v].c_str()) ||
                        values[v].empty());
        }
        const std::wstring module = kv::wpu::getModule();
        const std::wstring version = kv::wpu::getVersion();
        EXPECT_TRUE(sameAsSet(module, values[0])) << i;
        EXPECT_TRUE(sameAsSet(version, values[1])) << i;
        EXPECT_TRUE(values[2].empty() ? same(kv::wpu::getTitle(), module + L" " + version)
                                      : sameAsSet(kv::wpu::getTitle(), values[2]))
            << i;

        // Expansion works up to 32,767 characters, the limit of the platform's buffers;
        // beyond it the text fails (empty), never a text cut short or filled with junk.
        const std::wstring pattern = i % 2 == 0 ? L"%wp_module%" : L"<%wp_module%|%wp_version%>";
        // Built from the values as the platform reports them; an unset variable stays as it is.
        const std::wstring moduleText = values[0].empty() ? L"%wp_module%" : module;
        const std::wstring expansion =
            i % 2 == 0 ? moduleText
                       : L"<" + moduleText + L"|" + (values[1].empty() ? L"%wp_version%" : version) + L">";
        const bool fits = expansion.size() < 32767;
        std::wstring expanded = pattern;
        expandEnvironmentInPlace(expanded);
        const std::wstring logged = KvZarnLogging::expandEnvironment(pattern);
        if (fits) {
            EXPECT_TRUE(same(expanded, expansion)) << i;
            EXPECT_TRUE(same(logged, expansion)) << i;
        } else if (expansion.size() >= 32767) {
            EXPECT_TRUE(same(expanded, std::wstring())) << i << ": " << expansion.size() << " characters";
            EXPECT_TRUE(same(logged, std::wstring())) << i << ": " << expansion.size() << " characters";
        }
    }
}

// A log line: the timestamp, process and thread ids, the level tag, then the text.
bool isWellFormedLine(const std::string& line) {
    static const std::regex format(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[[0-9a-f]{4,8}\.[0-9a-f]{4,8}\] (\*F|\*E|\.W| I| D| V): .*)");
    return line.empty() || std::regex_match(line, format);
}

bool isUtf8(const std::string& text) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                               nullptr, 0) != 0 ||
           text.empty();
}

// The installer over a registry with random values wherever it reads, and a random
// update identity: it answers one of its exit codes and leaves a well-formed log.
TEST_F(HostileInput, TheInstallerAnswersAnExitCodeOfItsTableAndLogsWellFormedLines) {
    const std::wstring installer = wpu::test::buildDirectory() + L"\\install-wpu.exe";
    const std::wstring log = wpu::test::machineLogPath(L"install-wpupdater-win-arm64");
    const long exitCodes[] = {-1, 0, 1, 7, 13, 100, 101, 200, 201};
    for (int run = 0; run < 6 && !HasFailure(); ++run, ++inputs_) {
        tree_.clear();
        kv::test::RegistryTree logging(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\Logging");
        wpu::test::ScopedEnvironment environment;
        // Without line breaks: the logger writes a message as it is, so a line break in
        // one would start a line of its own.
        const auto identity = [this](size_t length) {
            std::wstring text = randomText(rng_, length);
            std::replace_if(
                text.begin(), text.end(), [](wchar_t c) { return c == L'\r' || c == L'\n' || c == 0; }, L'_');
            return text;
        };
        environment.set(L"wp_module", chance(rng_, 50) ? L"wpu" : identity(draw<size_t>(rng_, 1, 12)));
        environment.set(L"wp_version", chance(rng_, 50) ? L"2" : identity(draw<size_t>(rng_, 0, 12)));
        environment.set(L"wp_title", identity(draw<size_t>(rng_, 0, 40)));
        const WritableKey root(ProductRoot, KEY_WOW64_64KEY);
        // Mostly rook mode (nothing is installed, the run is quick), else TEB or AV mode,
        // which end at the stand-ins this machine lacks.
        root.set(L"rook", chance(rng_, 70) ? Value{REG_DWORD, {1, 0, 0, 0}} : randomValue(rng_));
        const WritableKey updates(std::wstring(ProductRoot) + L"\\updates", KEY_WOW64_64KEY);
        updates.set(L"TEBMode", randomValue(rng_));
        for (const wchar_t* version : {L"1", L"2"}) {
            const WritableKey versionKey(std::wstring(ProductRoot) + L"\\updates\\wpu\\" + version,
                                         KEY_WOW64_64KEY);
            versionKey.set(L"status", randomValue(rng_));
        }
        const WritableKey moduleKey(std::wstring(ProductRoot) + L"\\modules\\wpupdater-win-arm64",
                                    KEY_WOW64_64KEY);
        moduleKey.set(L"path", randomValue(rng_));
        const WritableKey delayLoad(L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad", 0);
        delayLoad.set(L"kv_hoster_api_64.dll", randomValue(rng_));
        const WritableKey loggingKey(L"SOFTWARE\\Korvane\\Zarn\\Logging", KEY_WOW64_32KEY);
        for (const wchar_t* name : {L"LogLevel", L"LogMaxSizeKB", L"DebugOutputLogging"}) {
            loggingKey.set(name, randomValue(rng_));
        }
        DeleteFileW(log.c_str());

        const long code = static_cast<long>(kv::test::runCommand(L"\"" + installer + L"\"", 120000));

        EXPECT_NE(std::find(std::begin(exitCodes), std::end(exitCodes), code), std::end(exitCodes))
            << "run " << run << ": exit code " << code;
        const std::string text = wpu::test::readFile(log);
        EXPECT_TRUE(isUtf8(text)) << "run " << run;
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find("\r\n", start);
            ASSERT_NE(end, std::string::npos) << "run " << run << ": a line without CR LF";
            const std::string line = text.substr(start, end - start);
            EXPECT_TRUE(isWellFormedLine(line)) << "run " << run << ": " << line;
            start = end + 2;
        }
        const std::string returning = "InstallerMain: Returning: " + std::to_string(code) + "\r\n";
        EXPECT_TRUE(text.empty() || text.find("InstallerMain: Returning: ") == std::string::npos ||
                    text.find(returning) != std::string::npos)
            << "run " << run << ": the log's result is the exit code";
    }
}

} // namespace
