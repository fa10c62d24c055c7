// Runs of the real installer over a registry with random values wherever it reads and a
// random update identity. Every run draws a new seed and prints it; KV_HOSTILE_SEED=<seed>
// replays that run. A crash or a hang fails the whole executable.
#include <windows.h>

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <regex>
#include <string>

namespace {

using kv::test::RegValue;

// The run's seed, printed as soon as it is drawn (before anything can crash).
unsigned long long runSeed() {
    wchar_t text[32] = {};
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    const DWORD length = GetEnvironmentVariableW(L"KV_HOSTILE_SEED", text, 32);
    const unsigned long long seed = length != 0 && length < 32
                                        ? std::wcstoull(text, nullptr, 0)
                                        : counter.QuadPart * 0x9E3779B97F4A7C15ull ^ GetCurrentProcessId();
    std::printf("hostile input seed %llu (replay: KV_HOSTILE_SEED=%llu)\n", seed, seed);
    std::fflush(stdout);
    return seed;
}

// UTF-16 units that readers treat specially: NUL, separators, periods, variable marks,
// blanks, line ends, lone and paired surrogates, byte-order marks, non-characters.
constexpr wchar_t SpecialUnits[] =
    L"\0\\/.:% \t\r\n<>\"|?*\x00E9\x0130\x212A\xD800\xDBFF\xDC00\xDFFF\xFEFF\xFFFE\xFFFF\x0085\x2028";
// The words that the installer's readers look for, and near misses.
const wchar_t* const Words[] = {L"true",        L"YES",    L"on",       L"1",        L" true",
                                L"tru",         L"active", L"previous", L"inactive", L"C:\\dir\\x.dll",
                                L"%wp_module%", L".."};

class Generator {
public:
    Generator() : rng_(runSeed()) {}
    template <class Int>
    Int in(Int low, Int high) {
        return std::uniform_int_distribution<Int>(low, high)(rng_);
    }
    bool chance(int percent) { return in(0, 99) < percent; }

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

    // A registry value of a documented type (the string types and REG_DWORD more often):
    // random bytes, a word or text with no terminating NUL, one or two, or a number of
    // four or eight bytes.
    RegValue value() {
        const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD};
        RegValue value{chance(50) ? in<DWORD>(0, 11) : types[in(0, 3)], {}};
        const int content = in(0, 2);
        if (content == 0) {
            value.second.resize(in<size_t>(0, chance(90) ? 16 : 4096));
            std::generate(value.second.begin(), value.second.end(), [this] { return std::uint8_t(rng_()); });
        } else if (content == 1) {
            const std::wstring body = chance(30) ? Words[in<size_t>(0, std::size(Words) - 1)]
                                                 : text(in<size_t>(0, chance(90) ? 12 : 600));
            value.second = kv::test::bytesOf(body + std::wstring(in(0, 2), L'\0'));
        } else {
            const std::uint64_t number = chance(50) ? in<std::uint64_t>(0, 2) : rng_();
            const auto* first = reinterpret_cast<const std::uint8_t*>(&number);
            value.second.assign(first, first + (chance(70) ? 4 : 8));
        }
        return value;
    }

private:
    std::mt19937_64 rng_;
};

// A registry value below HKEY_LOCAL_MACHINE, in one view.
struct Slot {
    std::wstring key;
    const wchar_t* name;
    REGSAM view = KEY_WOW64_64KEY;
};

// The system adds a terminator to a string whose data is followed by a NUL in memory; the
// data is followed by non-NUL units, so the value holds exactly its bytes.
void store(const Slot& slot, const RegValue& value) {
    kv::test::Bytes data = value.second;
    data.insert(data.end(), {0xFF, 0xFF, 0xFF});
    kv::UniqueHkey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, slot.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | slot.view, nullptr,
                    key.put(), nullptr);
    ASSERT_EQ(RegSetValueExW(key.get(), slot.name, 0, value.first, data.data(), DWORD(value.second.size())),
              ERROR_SUCCESS)
        << slot.key;
}

const std::wstring ProductRoot = L"SOFTWARE\\Korvane\\Wisp";

// Whatever the installer meets, it answers one of its exit codes and logs well-formed
// lines that end with that code; a code of success means that the module is registered
// (and a reboot is requested where the code says so).
TEST(HostileInput, TheInstallerLogsItsExitCodeAndSucceedsOnlyWithItsRecords) {
    kv::test::RegistryTree tree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane");
    wpu::test::ScopedEnvironment environment;
    Generator gen;
    const std::wstring log = wpu::test::machineLogPath(L"install-wpupdater-win-arm64");
    const std::wstring moduleKey = ProductRoot + L"\\modules\\wpupdater-win-arm64";
    const long exitCodes[] = {0, 7, 13, 100, 101, 200, 201};
    // A log line: the timestamp, process and thread ids, the level tag, then the text.
    const std::regex format(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[[0-9a-f]{4,8}\.[0-9a-f]{4,8}\] (\*F|\*E|\.W| I| D| V): .*)");
    // Mostly rook mode (nothing is installed, the run is quick), else TEB or AV mode, which
    // end at the stand-ins this machine lacks.
    const Slot slots[] = {
        {ProductRoot, L"rook"},
        {ProductRoot + L"\\updates", L"TEBMode"},
        {ProductRoot + L"\\updates\\wpu\\1", L"status"},
        {ProductRoot + L"\\updates\\wpu\\2", L"status"},
        {moduleKey, L"path"},
        {L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad", L"kv_hoster_api_64.dll", 0}};
    for (int run = 0; run < 12 && !testing::Test::HasFailure(); ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        tree.clear();
        // Line breaks too: the logger must keep them from starting lines of their own.
        environment.set(L"wp_module", gen.chance(50) ? L"wpu" : gen.text(gen.in<size_t>(1, 12)));
        environment.set(L"wp_version", gen.chance(50) ? L"2" : gen.text(gen.in<size_t>(0, 12)));
        environment.set(L"wp_title", gen.text(gen.in<size_t>(0, 40)));
        for (const Slot& slot : slots) {
            store(slot, &slot == slots && gen.chance(70) ? RegValue{REG_DWORD, {1, 0, 0, 0}} : gen.value());
        }

        const long code = static_cast<long>(wpu::test::runProgram(L"install-wpu.exe", L"", log));

        EXPECT_NE(std::find(std::begin(exitCodes), std::end(exitCodes), code), std::end(exitCodes)) << code;
        const std::string text = kv::test::readFile(log);
        EXPECT_NE(
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0), 0);
        for (size_t start = 0, end; start < text.size(); start = end + 2) {
            end = text.find("\r\n", start);
            ASSERT_NE(end, std::string::npos) << "a line without CR LF";
            EXPECT_TRUE(end == start || std::regex_match(text.substr(start, end - start), format))
                << text.substr(start, end - start);
        }
        EXPECT_NE(text.find("InstallerMain: Returning: " + std::to_string(code) + "\r\n"), std::string::npos);
        const bool success = code == 0 || code == 100 || code == 200;
        EXPECT_EQ(wpu::test::registryString(moduleKey, L"path") == wpu::test::buildDirectory(), success);
        EXPECT_EQ(wpu::test::registryKeyExists(ProductRoot + L"\\RebootRequested"),
                  code == 100 || code == 101);
    }
}

} // namespace
