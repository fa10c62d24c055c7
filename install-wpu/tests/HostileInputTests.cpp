// Random and edge-case data for every reader of data from outside the program, in this
// process, and a few runs of the real installer over a random registry. Every run draws
// a new seed and prints it; KV_HOSTILE_SEED=<seed> replays that run (with
// --gtest_filter for one reader). An answer is checked against the reader's contract;
// a crash or a hang fails the whole executable.
#include <windows.h>

#include "hoster-api/DelayLoad.h"
#include "install-wpu/OperatingMode.h"
#include "install-wpu/UpdateStatus.h"
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
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

using kv::test::Bytes;

// The run's seed, printed as soon as it is drawn (before anything can crash).
unsigned long long runSeed() {
    static const unsigned long long seed = [] {
        wchar_t text[32] = {};
        LARGE_INTEGER counter = {};
        QueryPerformanceCounter(&counter);
        const DWORD length = GetEnvironmentVariableW(L"KV_HOSTILE_SEED", text, 32);
        const unsigned long long seed =
            length != 0 && length < 32 ? std::wcstoull(text, nullptr, 0)
                                       : counter.QuadPart * 0x9E3779B97F4A7C15ull ^ GetCurrentProcessId();
        std::printf("hostile input seed %llu (replay: KV_HOSTILE_SEED=%llu)\n", seed, seed);
        std::fflush(stdout);
        return seed;
    }();
    return seed;
}

struct Total {
    int inputs = 0;
    ~Total() { std::printf("hostile input: %d inputs, seed %llu\n", inputs, runSeed()); }
} total;

// UTF-16 units that readers treat specially: NUL, separators, periods, variable marks,
// blanks, line ends, lone and paired surrogates, byte-order marks, non-characters.
constexpr wchar_t SpecialUnits[] =
    L"\0\\/.:% \t\r\n<>\"|?*\x00E9\x0130\x212A\xD800\xDBFF\xDC00\xDFFF\xFEFF\xFFFE\xFFFF\x0085\x2028";
// clang-format off
const wchar_t* const Words[] = {
    L"true", L"TRUE", L"True", L"yes", L"YES", L"on", L"1", L"0", L" true", L"true ", L"tru", L"active",
    L"previous", L"inactive", L"acme", L"C:\\dir\\x.dll", L"%ProgramData%", L"\\\\server\\share\\x.dll",
    L"\\\\?\\C:\\x.dll", L"C:x.dll", L"\\x.dll", L"sub\\x.dll", L"%wp_module%", L"%%", L"%", L"..", L"CON"};
// clang-format on

struct Value {
    DWORD type = REG_NONE;
    Bytes bytes;
};

// The one source of data; each test draws from its own stream, so that one test replays alone.
class Generator {
public:
    explicit Generator(const std::string& name) : rng_(runSeed() ^ std::hash<std::string>{}(name)) {}
    template <class Int>
    Int in(Int low, Int high) {
        return std::uniform_int_distribution<Int>(low, high)(rng_);
    }
    bool chance(int percent) { return in(0, 99) < percent; }
    std::uint8_t byte() { return static_cast<std::uint8_t>(rng_()); }

    // One unit from one draw: a special one, any unit at all, or a printable one; now and
    // then a whole word instead.
    std::wstring text(size_t length) {
        std::wstring text;
        for (std::uint64_t bits = rng_(); text.size() < length; bits = rng_()) {
            const int kind = static_cast<int>((bits >> 8) % 4);
            text += bits % 100 < 3 ? Words[(bits >> 8) % std::size(Words)]
                    : kind == 0    ? std::wstring(1, SpecialUnits[(bits >> 16) % std::size(SpecialUnits)])
                                : std::wstring(1, wchar_t(kind == 1 ? bits >> 32 : L' ' + (bits >> 16) % 95));
        }
        return text.substr(0, length);
    }

    // Mostly small, sometimes near the boundaries readers care about, rarely up to 1 MB.
    size_t size() {
        const int bucket = in(0, 9999);
        return bucket < 5000   ? in<size_t>(0, 16)
               : bucket < 8500 ? in<size_t>(17, 600)
               : bucket < 9990 ? in<size_t>(601, 8192)
               : bucket < 9996 ? in<size_t>(8193, 1 << 20)
                               : (size_t{1} << 20) - bucket % 2;
    }

    // A registry value of any type (mostly the documented ones, string types and REG_DWORD
    // more often) holding random bytes, text as a string value may hold it (one terminating
    // NUL, none, two, or an odd byte more) or a number of any width.
    Value value() {
        const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ};
        const int typeKind = in(0, 9);
        Value value{typeKind < 6   ? in<DWORD>(0, 11)
                    : typeKind < 8 ? types[in(0, 2)]
                    : typeKind < 9 ? REG_DWORD
                                   : static_cast<DWORD>(rng_()),
                    {}};
        const int content = in(0, 4);
        if (content < 2) {
            value.bytes.resize(size());
            std::generate(value.bytes.begin(), value.bytes.end(), [this] { return byte(); });
        } else if (content < 4) {
            std::wstring text = chance(20) ? Words[in<size_t>(0, std::size(Words) - 1)]
                                           : this->text(chance(30) ? in<size_t>(0, 8) : size() / 2);
            if (value.type == REG_MULTI_SZ && chance(50)) {
                text += std::wstring(1, L'\0') + this->text(in<size_t>(0, 8));
            }
            const int form = in(0, 3);
            value.bytes = kv::test::bytesOf(text + std::wstring(form == 2 ? 2 : form == 1 ? 0 : 1, L'\0'));
            value.bytes.resize(value.bytes.size() + (form == 3), byte());
        } else {
            const std::uint64_t numbers[] = {0, 1, 2, 6, 50, 0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull, rng_()};
            const std::uint64_t number = numbers[in<size_t>(0, std::size(numbers) - 1)];
            const auto* first = reinterpret_cast<const std::uint8_t*>(&number);
            value.bytes.assign(first, first + 8);
            value.bytes.resize(chance(70) ? (chance(50) ? 4 : 8) : in<size_t>(0, 12), 0);
        }
        return value;
    }

private:
    std::mt19937_64 rng_;
};

std::wstring unitsOf(const Bytes& bytes, size_t from = 0) {
    std::wstring text((bytes.size() - std::min(from, bytes.size())) / sizeof(wchar_t), L'\0');
    std::copy_n(bytes.begin() + from, text.size() * sizeof(wchar_t),
                reinterpret_cast<std::uint8_t*>(text.data()));
    return text;
}

// A string read back: whole characters, one trailing NUL dropped.
std::wstring storedText(const Bytes& bytes) {
    const std::wstring text = unitsOf(bytes);
    return !text.empty() && text.back() == L'\0' ? text.substr(0, text.size() - 1) : text;
}

bool isString(const Value& value) {
    return value.type == REG_SZ || value.type == REG_EXPAND_SZ;
}

// The text of a string value; nothing for another type.
std::wstring textOf(const Value& value) {
    return isString(value) ? storedText(value.bytes) : L"";
}

// The number of a value; whether it is a REG_DWORD of four bytes.
DWORD dwordOf(const Value& value) {
    DWORD number = 0;
    std::copy_n(value.bytes.begin(), std::min(value.bytes.size(), sizeof(number)),
                reinterpret_cast<std::uint8_t*>(&number));
    return number;
}
bool isDword(const Value& value) {
    return value.type == REG_DWORD && value.bytes.size() == 4;
}

// A registry value below HKEY_LOCAL_MACHINE, in one view.
struct Slot {
    std::wstring key;
    const wchar_t* name;
    REGSAM view = KEY_WOW64_64KEY;
};

// The system adds a terminator to a string whose data is followed by a NUL in memory; the
// data is followed by non-NUL units, so the value holds exactly its bytes.
void store(const Slot& slot, const Value& value) {
    Bytes data = value.bytes;
    data.insert(data.end(), {0xFF, 0xFF, 0xFF});
    kv::UniqueHkey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, slot.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | slot.view, nullptr,
                    key.put(), nullptr);
    ASSERT_EQ(RegSetValueExW(key.get(), slot.name, 0, value.type, data.data(), DWORD(value.bytes.size())),
              ERROR_SUCCESS)
        << slot.key;
}

const std::wstring ProductRoot = L"SOFTWARE\\Korvane\\Wisp";
const std::wstring Logging = L"SOFTWARE\\Korvane\\Zarn\\Logging";
const std::wstring DelayLoad = L"SOFTWARE\\Korvane\\NS\\wp_hostile\\Zarn\\DelayLoad";
const std::wstring Versions = ProductRoot + L"\\updates\\m\\";
std::wstring defaultLoggingRoot; // the machine's, read while no RootPath value is written

// One round of a reader: the values just stored in its slots.
struct Round {
    Generator& gen;
    std::vector<Value> values;
    int index;
};

// The registry layer: a getter answers only its own type (REG_NONE counts as a number's)
// and leaves its output alone otherwise; a list ends at its first empty string.
template <class Number, class Read>
void expectNumber(const Value& value, DWORD type, Read read) {
    const bool typeFits = value.type == type || value.type == REG_NONE;
    const bool fits = typeFits && value.bytes.size() == sizeof(Number);
    Number number = Number(0xA5A5A5A5A5A5A5A5ull), expected = number;
    std::copy_n(value.bytes.begin(), fits ? sizeof(Number) : 0, reinterpret_cast<std::uint8_t*>(&expected));
    RegistryStatus status = RegistryStatus::Ok;
    EXPECT_EQ(read(number, &status), fits);
    EXPECT_EQ(status, fits       ? RegistryStatus::Ok
                      : typeFits ? RegistryStatus::Failed
                                 : RegistryStatus::TypeMismatch);
    EXPECT_EQ(number, expected);
}

void registryLayer(Round& round) {
    const Value& v = round.values[0];
    const std::wstring key = ProductRoot + L"\\HostileInput";
    LightWin32Registry registry;
    registry.setSamFlags(KEY_WOW64_64KEY);
    RegistryStatus status = RegistryStatus::Failed;
    EXPECT_EQ(registry.getValueType(key, L"v", &status), v.type);
    EXPECT_EQ(status, RegistryStatus::Ok);
    std::wstring text = L"stale";
    std::string narrow = "stale";
    EXPECT_EQ(registry.getString(key, L"v", text, &status), isString(v));
    EXPECT_EQ(status, isString(v) ? RegistryStatus::Ok : RegistryStatus::TypeMismatch);
    EXPECT_EQ(registry.getString(key, L"v", narrow), isString(v));
    EXPECT_TRUE(text == textOf(v) && narrow == kv::str::wideToUtf8(text));
    expectNumber<DWORD>(v, REG_DWORD,
                        [&](DWORD& n, RegistryStatus* s) { return registry.getDword(key, L"v", n, s); });
    expectNumber<std::uint64_t>(v, REG_QWORD, [&](std::uint64_t& n, RegistryStatus* s) {
        return registry.getQword(key, L"v", n, s);
    });
    std::vector<std::wstring> list = {L"stale"}, expected;
    const std::wstring units = unitsOf(v.bytes);
    for (size_t start = 0, end;
         v.type == REG_MULTI_SZ && (end = units.find(L'\0', start)) != std::wstring::npos && end != start;
         start = end + 1) {
        expected.push_back(units.substr(start, end - start));
    }
    EXPECT_EQ(registry.getMultiString(key, L"v", list, &status), v.type == REG_MULTI_SZ);
    EXPECT_TRUE(list == expected);
    Bytes binary = {1}, raw;
    DWORD rawType = 0xFFFF;
    EXPECT_EQ(registry.getBinary(key, L"v", binary, &status), v.type == REG_BINARY);
    EXPECT_TRUE(binary == (v.type == REG_BINARY ? v.bytes : Bytes()));
    EXPECT_TRUE(registry.getRawValue(key, L"v", raw, rawType) && raw == v.bytes && rawType == v.type);
}

// "rook" is on for a number of four bytes other than 0; "TEBMode" for a string that is
// one of four words in any case.
void operatingModes(Round& round) {
    const Value& rook = round.values[0];
    std::wstring word = textOf(round.values[1]);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c + 32) : c; });
    EXPECT_EQ(isROOKOperatingMode(), (rook.type == REG_DWORD || rook.type == REG_NONE) &&
                                         rook.bytes.size() == 4 && dwordOf(rook) != 0);
    EXPECT_EQ(isTEBMode(), word == L"true" || word == L"1" || word == L"on" || word == L"yes");
}

// The "status" values the bookkeeping reads before it rewrites them.
void statuses(Round& round) {
    const bool keepPrevious = round.gen.chance(50);
    wp::markActiveVersion(L"m", L"2", keepPrevious);
    for (int i = 0; i < 3; ++i) {
        const bool wasActive = textOf(round.values[i]) == L"active";
        EXPECT_EQ(wpu::test::registryString(Versions + std::to_wstring(i + 1), L"status"),
                  i == 1                      ? L"active"
                  : keepPrevious && wasActive ? L"previous"
                                              : L"inactive")
            << "version " << i + 1 << (keepPrevious ? ", keeping the previous one" : "");
    }
}

// The logging library's three-level lookup (file, component, machine) of each setting: the
// first REG_DWORD of four bytes counts, the file's and the component's only when not
// 0xFFFFFFFF. The machine's RootPath is its string, else the default.
void loggingConfiguration(Round& round) {
    DWORD settings[] = {4, 50, 0};
    for (int level = 8; level >= 0; --level) {
        const Value& value = round.values[level];
        if (isDword(value) && (level % 3 == 2 || dwordOf(value) != 0xFFFFFFFFu)) {
            settings[level / 3] = dwordOf(value);
        }
    }
    EXPECT_EQ(KvZarnLogging::readLogLevel(L"Wisp", L"install-x", 4), int(settings[0]));
    EXPECT_EQ(KvZarnLogging::readMaxSize(L"Wisp", L"install-x"), std::uint64_t{settings[1]} * 1024);
    EXPECT_EQ(KvZarnLogging::readDebugOutput(L"Wisp", L"install-x"), settings[2] != 0);
    const Value& root = round.values[9];
    const std::wstring text = textOf(root);
    EXPECT_EQ(KvZarnLogging::readRegistryString(HKEY_LOCAL_MACHINE, Logging, L"RootPath", KEY_WOW64_32KEY),
              text);
    EXPECT_EQ(KvZarnLogging::readLoggingRoot(KvZarnLogging::RootKind::Machine),
              text.empty() ? defaultLoggingRoot : text);
    EXPECT_EQ(KvZarnLogging::readRegistryDword(HKEY_LOCAL_MACHINE, Logging, L"RootPath", KEY_WOW64_32KEY, 77),
              isDword(root) ? dwordOf(root) : 77u);
}

// The delay-load keys take only strings, and none of them names a library that exists.
void delayLoadPath(Round& round) {
    const Value& value = round.values[0];
    const bool string = isString(value) || value.type == REG_MULTI_SZ;
    SetLastError(0);
    EXPECT_EQ(readRegistryPath(HKEY_LOCAL_MACHINE, DelayLoad, L"kv_hostile.dll", 0),
              string ? storedText(value.bytes) : L"");
    EXPECT_TRUE(string || GetLastError() == ERROR_INVALID_NAME) << GetLastError();
}

void delayLoadSearch(Round& round) {
    const std::wstring name = round.index % 3 == 0   ? L"wp_hostile"
                              : round.index % 3 == 1 ? L"wp_default"
                                                     : round.gen.text(round.gen.in<size_t>(0, 40));
    DelayImportModule module("kv_hostile.dll");
    DelayImportProc initialize(module, "KvHosterApi_Initialize");
    TryLoadResult result;
    EXPECT_EQ(tryLoad(name.c_str(), &initialize, result), 1u);
    EXPECT_STREQ(result.dllName, "kv_hostile.dll");
    EXPECT_EQ(module.handle(), nullptr);
}

// The "InstallPath" value of a namespace key: a string, with a backslash at its end.
void installPath(Round& round) {
    std::wstring path = textOf(round.values[0]);
    path += path.empty() || path.back() == L'\\' ? L"" : L"\\";
    const auto paths = NamespaceResolver().getInstallPaths();
    EXPECT_TRUE(paths == (path.empty() ? decltype(paths){} : decltype(paths){{L"hostile", path}}));
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

// namespace.txt of any size up to 600 bytes, with or without a byte-order mark. The
// search reads only namespace.txt beside the installer, the first directory below the
// program files folder, and only its first 512 bytes after the FF FE mark.
void namespaceFile(Round& round) {
    static const kv::test::TempDirectory programFiles;
    CreateDirectoryW((programFiles / L"Korvane").c_str(), nullptr);
    Generator& gen = round.gen;
    const int mark = gen.in(0, 9);
    Bytes content = mark < 7    ? Bytes{0xFF, 0xFE}
                    : mark == 7 ? Bytes{0xFE, 0xFF}
                    : mark == 8 ? Bytes{0xFF}
                                : Bytes{};
    const size_t size = gen.chance(20) ? gen.in<size_t>(0, 6) : gen.in<size_t>(0, 600);
    const Bytes body =
        kv::test::bytesOf(gen.chance(25) ? L"acme_" + std::to_wstring(round.index) : gen.text(size / 2));
    content.insert(content.end(), body.begin(), body.end());
    content.resize(std::min<size_t>(content.size() + gen.chance(20), 600), gen.byte());
    std::ofstream(std::filesystem::path(programFiles / L"Korvane\\namespace.txt"), std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    const Bytes head(content.begin(), content.begin() + std::min<size_t>(content.size(), 512));
    const std::wstring name = head.size() >= 3 && head[0] == 0xFF && head[1] == 0xFE ? unitsOf(head, 2) : L"";
    const std::wstring answer = TemporaryProgramFiles(programFiles.path())
                                    .namespaceForPath(programFiles / L"Korvane\\install-wpu.exe");
    EXPECT_TRUE(answer.empty() || answer == name);
    EXPECT_EQ(answer.find_first_of(L"\\/."), std::wstring::npos);
    EXPECT_TRUE(std::none_of(answer.begin(), answer.end(), [](wchar_t c) { return c < 0x20; }));
    if (name.find_first_not_of(L"abcdefghijklmnopqrstuvwxyz_0123456789") == std::wstring::npos) {
        EXPECT_EQ(answer, name) << "a plain name is the answer";
    }
}

// wp_module, wp_version and wp_title up to 32,767 characters, and the expansion of
// variables that hold such values. The platform reads environment values into buffers of
// 32,767 characters with the NUL: a value of 32,767 characters may come back without its
// last one. Expansion works up to that limit; beyond it the text fails (empty), never a
// text cut short or filled with junk.
bool sameAsSet(const std::wstring& answer, const std::wstring& value) {
    return answer == value || (value.size() == 32767 && answer == value.substr(0, 32766));
}

void environment(Round& round) {
    const wchar_t* const names[] = {L"wp_module", L"wp_version", L"wp_title"};
    std::wstring values[3];
    for (int v = 0; v < 3; ++v) {
        const int kind = round.gen.in(0, 99);
        values[v] = round.gen.text(kind < 10   ? 0
                                   : kind < 13 ? 32777 - kind
                                   : kind < 16 ? round.gen.in<size_t>(0, 32767)
                                               : round.gen.in<size_t>(1, 40));
        // A value cannot hold a NUL; an empty one unsets the variable.
        std::replace(values[v].begin(), values[v].end(), L'\0', L'=');
        SetEnvironmentVariableW(names[v], values[v].empty() ? nullptr : values[v].c_str());
    }
    const std::wstring module = kv::wpu::getModule(), version = kv::wpu::getVersion();
    EXPECT_TRUE(sameAsSet(module, values[0]) && sameAsSet(version, values[1]));
    EXPECT_TRUE(values[2].empty() ? kv::wpu::getTitle() == module + L" " + version
                                  : sameAsSet(kv::wpu::getTitle(), values[2]));
    // Built from the values as the platform reports them; an unset variable stays as it is.
    const bool both = round.index % 2 == 1;
    const std::wstring pattern = both ? L"<%wp_module%|%wp_version%>" : L"%wp_module%";
    const std::wstring moduleText = values[0].empty() ? L"%wp_module%" : module;
    std::wstring expansion =
        both ? L"<" + moduleText + L"|" + (values[1].empty() ? L"%wp_version%" : version) + L">" : moduleText;
    expansion.resize(expansion.size() < 32767 ? expansion.size() : 0);
    std::wstring expanded = pattern;
    expandEnvironmentInPlace(expanded);
    EXPECT_TRUE(expanded == expansion && KvZarnLogging::expandEnvironment(pattern) == expansion)
        << expansion.size() << " characters";
}

// A reader: each round stores a random value in every slot and checks the answers (`reads`
// inputs); a reader of other data draws it itself.
struct Reader {
    const char* name;
    std::vector<Slot> slots;
    int rounds;
    int reads;
    void (*check)(Round&);
};

std::vector<Slot> loggingSlots() {
    std::vector<Slot> slots;
    for (const wchar_t* name : {L"LogLevel", L"LogMaxSizeKB", L"DebugOutputLogging"}) {
        for (const std::wstring& level : {Logging + L"\\Wisp\\install-x", Logging + L"\\Wisp", Logging}) {
            slots.push_back({level, name, KEY_WOW64_32KEY});
        }
    }
    slots.push_back({Logging, L"RootPath", KEY_WOW64_32KEY});
    return slots;
}

const Reader Readers[] = {
    {"RegistryLayer", {{ProductRoot + L"\\HostileInput", L"v"}}, 5000, 9, registryLayer},
    {"OperatingModes",
     {{ProductRoot, L"rook"}, {ProductRoot + L"\\updates", L"TEBMode"}},
     600,
     2,
     operatingModes},
    {"Statuses",
     {{Versions + L"1", L"status"}, {Versions + L"2", L"status"}, {Versions + L"3", L"status"}},
     100,
     3,
     statuses},
    {"LoggingConfiguration", loggingSlots(), 1000, 6, loggingConfiguration},
    {"DelayLoadPath", {{DelayLoad, L"kv_hostile.dll", 0}}, 6000, 1, delayLoadPath},
    {"DelayLoadSearch",
     {{DelayLoad, L"kv_hostile.dll", 0},
      {L"SOFTWARE\\Korvane\\NS\\wp_hostile\\Zarn\\DelayLoadArm64", L"kv_hostile.dll", KEY_WOW64_32KEY},
      {L"SOFTWARE\\Korvane\\Zarn\\Delay loading\\1400", L"kv_hostile.dll", 0}},
     300,
     3,
     delayLoadSearch},
    {"InstallPath",
     {{L"SOFTWARE\\Korvane\\NS\\hostile\\Corelane", L"InstallPath", KEY_WOW64_32KEY}},
     1500,
     1,
     installPath},
    {"NamespaceFile", {}, 1500, 1, namespaceFile},
    {"Environment", {}, 10000, 5, environment},
};

class HostileInput : public testing::Test {
protected:
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
    wpu::test::ScopedEnvironment environment_;
    Generator gen_{testing::UnitTest::GetInstance()->current_test_info()->name()};
    int inputs_ = 0;

    void SetUp() override {
        for (const wchar_t* name : {L"wp_module", L"wp_version", L"wp_title"}) {
            environment_.unset(name);
        }
        defaultLoggingRoot = KvZarnLogging::readLoggingRoot(KvZarnLogging::RootKind::Machine);
    }
    void TearDown() override {
        std::printf("%s: %d inputs\n", testing::UnitTest::GetInstance()->current_test_info()->name(),
                    inputs_);
        total.inputs += inputs_;
    }
};

class EveryReader : public HostileInput, public testing::WithParamInterface<Reader> {};

TEST_P(EveryReader, AnswersByItsContract) {
    const Reader& reader = GetParam();
    for (int i = 0; i < reader.rounds && !HasFailure(); ++i, inputs_ += reader.reads) {
        Round round{gen_, {}, i};
        std::string trace = "round " + std::to_string(i) + ", values (type, bytes):";
        for (const Slot& slot : reader.slots) {
            const Value& value = round.values.emplace_back(gen_.value());
            store(slot, value);
            trace += " (" + std::to_string(value.type) + ", " + std::to_string(value.bytes.size()) + ")";
        }
        SCOPED_TRACE(trace);
        reader.check(round);
    }
}

INSTANTIATE_TEST_SUITE_P(Hostile, EveryReader, testing::ValuesIn(Readers),
                         [](const testing::TestParamInfo<Reader>& info) {
                             return std::string(info.param.name);
                         });

// The installer over a registry with random values wherever it reads, and a random update
// identity: it answers one of its exit codes and leaves a well-formed log.
TEST_F(HostileInput, TheInstallerAnswersAnExitCodeOfItsTableAndLogsWellFormedLines) {
    const std::wstring log = wpu::test::machineLogPath(L"install-wpupdater-win-arm64");
    const long exitCodes[] = {-1, 0, 1, 7, 13, 100, 101, 200, 201};
    // A log line: the timestamp, process and thread ids, the level tag, then the text.
    const std::regex format(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[[0-9a-f]{4,8}\.[0-9a-f]{4,8}\] (\*F|\*E|\.W| I| D| V): .*)");
    // Mostly rook mode (nothing is installed, the run is quick), else TEB or AV mode, which
    // end at the stand-ins this machine lacks.
    const Slot slots[] = {{ProductRoot, L"rook"},
                          {ProductRoot + L"\\updates", L"TEBMode"},
                          {ProductRoot + L"\\updates\\wpu\\1", L"status"},
                          {ProductRoot + L"\\updates\\wpu\\2", L"status"},
                          {ProductRoot + L"\\modules\\wpupdater-win-arm64", L"path"},
                          {L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad", L"kv_hoster_api_64.dll", 0},
                          {Logging, L"LogLevel", KEY_WOW64_32KEY},
                          {Logging, L"LogMaxSizeKB", KEY_WOW64_32KEY},
                          {Logging, L"DebugOutputLogging", KEY_WOW64_32KEY}};
    for (int run = 0; run < 6 && !HasFailure(); ++run, ++inputs_) {
        SCOPED_TRACE("run " + std::to_string(run));
        tree_.clear();
        // Without line breaks: the logger writes a message as it is, so a line break in one
        // would start a line of its own.
        const auto identity = [this](size_t length) {
            std::wstring text = gen_.text(length);
            std::replace_if(
                text.begin(), text.end(), [](wchar_t c) { return c == L'\r' || c == L'\n' || !c; }, L'_');
            return text;
        };
        environment_.set(L"wp_module", gen_.chance(50) ? L"wpu" : identity(gen_.in<size_t>(1, 12)));
        environment_.set(L"wp_version", gen_.chance(50) ? L"2" : identity(gen_.in<size_t>(0, 12)));
        environment_.set(L"wp_title", identity(gen_.in<size_t>(0, 40)));
        for (const Slot& slot : slots) {
            store(slot, &slot == slots && gen_.chance(70) ? Value{REG_DWORD, {1, 0, 0, 0}} : gen_.value());
        }
        DeleteFileW(log.c_str());

        const long code = static_cast<long>(
            kv::test::runCommand(L"\"" + wpu::test::buildDirectory() + L"\\install-wpu.exe\""));

        EXPECT_NE(std::find(std::begin(exitCodes), std::end(exitCodes), code), std::end(exitCodes)) << code;
        const std::string text = kv::test::readFile(log);
        EXPECT_TRUE(text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                                        int(text.size()), nullptr, 0) != 0);
        for (size_t start = 0, end; start < text.size(); start = end + 2) {
            end = text.find("\r\n", start);
            ASSERT_NE(end, std::string::npos) << "a line without CR LF";
            EXPECT_TRUE(end == start || std::regex_match(text.substr(start, end - start), format))
                << text.substr(start, end - start);
        }
        EXPECT_TRUE(text.find("InstallerMain: Returning: ") == std::string::npos ||
                    text.find("InstallerMain: Returning: " + std::to_string(code) + "\r\n") !=
                        std::string::npos)
            << "the log's result is the exit code";
    }
}

} // namespace
