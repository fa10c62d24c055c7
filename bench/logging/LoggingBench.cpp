// Measures the logger against floors taken in the same run and prints
// "name value" lines:
//   filtered_*   a call below the threshold against GetTickCount64 plus two atomic loads;
//   line_*       a written line against one WriteFile per line of the same bytes under
//                the same named mutex;
//   processes_*  lines per second of four processes logging to one file against one,
//                and of eight processes on one log small enough to rotate hundreds of
//                times against one process writing the same lines into it.
// Run it in a throwaway prefix (it writes the logging settings of HKLM):
//   logging_bench            the measurements
//   logging_bench writer|raw <stem> <lines> <start event>   one writer process
#include <windows.h>

#include "kvtl/Handle.h"
#include "logging/Config.h"
#include "logging/FileContext.h"
#include "logging/Log.h"
#include "logging/Logger.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace KvZarnLogging;

namespace {

double seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER now() {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value;
}

void setDword(const wchar_t* name, DWORD value) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, LoggingKeyPath, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                    nullptr, &key, nullptr);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

void setRoot(const std::wstring& root) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, LoggingKeyPath, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                    nullptr, &key, nullptr);
    RegSetValueExW(key, L"RootPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(root.c_str()),
                   static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::string readFile(const std::wstring& path) {
    std::string bytes;
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    char buffer[65536];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

std::atomic<int> floorThreshold{Info};
std::atomic<ULONGLONG> floorTick{1};
volatile ULONGLONG sink;

// The filtered call: the public log function with a level above the threshold.
double filteredCallNs(int calls) {
    const LARGE_INTEGER start = now();
    for (int i = 0; i < calls; ++i) {
        log(Verbose, "Bench::filtered", L"never formatted %d", i);
    }
    return seconds(start, now()) * 1e9 / calls;
}

double filteredFloorNs(int calls) {
    const LARGE_INTEGER start = now();
    ULONGLONG total = 0;
    for (int i = 0; i < calls; ++i) {
        total += GetTickCount64() + floorTick.load() + static_cast<ULONGLONG>(floorThreshold.load());
    }
    sink = total;
    return seconds(start, now()) * 1e9 / calls;
}

double loggedLineUs(LoggerWin& logger, int lines) {
    const std::wstring padding(40, L'.');
    const LARGE_INTEGER start = now();
    for (int i = 0; i < lines; ++i) {
        logger.log(Info, L"Bench::line %06d %ls", i, padding.c_str());
    }
    return seconds(start, now()) * 1e6 / lines;
}

double floorLineUs(const std::wstring& path, const std::wstring& mutexName,
                   const std::vector<std::string>& lines) {
    kv::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, mutexName.c_str()));
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER end = {};
    SetFilePointerEx(file.get(), LARGE_INTEGER{}, &end, FILE_END);
    const LARGE_INTEGER start = now();
    for (const std::string& line : lines) {
        WaitForSingleObject(mutex.get(), 500);
        DWORD written = 0;
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        ReleaseMutex(mutex.get());
    }
    return seconds(start, now()) * 1e6 / static_cast<double>(lines.size());
}

std::vector<std::string> splitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(bytes.substr(start, end - start + 2));
    }
    return lines;
}

// Lines per second of `processes` writers of `lines` lines each, started together.
// kind is "writer" (the logger) or "raw" (the same protocol by hand: wait, move to
// the end, one WriteFile, release).
double processRate(const std::wstring& self, const wchar_t* kind, const std::wstring& stem, int processes,
                   int lines) {
    const std::wstring eventName = L"Local\\kv-logging-bench-" + stem;
    kv::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    std::vector<kv::UniqueHandle> children;
    for (int i = 0; i < processes; ++i) {
        std::wstring line =
            L"\"" + self + L"\" " + kind + L" " + stem + L" " + std::to_wstring(lines) + L" " + eventName;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            return 0;
        }
        CloseHandle(process.hThread);
        children.emplace_back(process.hProcess);
    }
    Sleep(1500); // every writer has opened its log and waits for the start
    const LARGE_INTEGER start = now();
    SetEvent(event.get());
    for (kv::UniqueHandle& child : children) {
        WaitForSingleObject(child.get(), INFINITE);
    }
    return processes * lines / seconds(start, now());
}

const std::wstring padding(40, L'.');

int writer(const std::wstring& stem, int lines, const std::wstring& eventName) {
    openLog(L"Bench", stem, Info, 0);
    kv::UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, eventName.c_str()));
    WaitForSingleObject(event.get(), 60000);
    for (int i = 0; i < lines; ++i) {
        log(Info, "Bench::writer", L"line %06d %ls", i, padding.c_str());
    }
    closeLog();
    return 0;
}

int rawWriter(const std::wstring& root, const std::wstring& stem, int lines, const std::wstring& eventName) {
    const std::wstring path = root + L"\\Korvane\\Log\\Bench\\" + stem + L".raw";
    kv::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, (L"Global\\KvZarnLogging_raw_" + stem).c_str()));
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string line = "2026-01-01 00:00:00.000 [0000.0000]  I: Bench::writer: line 000000 " +
                             std::string(padding.begin(), padding.end()) + "\r\n";
    kv::UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, eventName.c_str()));
    WaitForSingleObject(event.get(), 60000);
    for (int i = 0; i < lines; ++i) {
        WaitForSingleObject(mutex.get(), 500);
        LARGE_INTEGER end = {};
        SetFilePointerEx(file.get(), LARGE_INTEGER{}, &end, FILE_END);
        DWORD written = 0;
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        ReleaseMutex(mutex.get());
    }
    return 0;
}

std::wstring benchRoot() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp) + L"kv-logging-bench";
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring root = benchRoot();
    if (argc == 5 && std::wstring(argv[1]) == L"writer") {
        return writer(argv[2], _wtoi(argv[3]), argv[4]);
    }
    if (argc == 5 && std::wstring(argv[1]) == L"raw") {
        return rawWriter(root, argv[2], _wtoi(argv[3]), argv[4]);
    }
    CreateDirectoryW(root.c_str(), nullptr);
    setRoot(root);
    setDword(L"LogMaxSizeKB", 1024 * 1024);

    // Filtered calls through the process logger, opened at Info.
    openLog(L"Bench", L"filtered", Info, 0);
    constexpr int Calls = 20000000;
    filteredCallNs(Calls / 10);
    // Rounds alternate, so that both figures see the same state of a shared machine.
    double filtered = 1e300;
    double filteredFloor = 1e300;
    for (int round = 0; round < 10; ++round) {
        filtered = std::min(filtered, filteredCallNs(Calls));
        filteredFloor = std::min(filteredFloor, filteredFloorNs(Calls));
    }
    closeLog();

    // Written lines: the logger, then the same bytes replayed by hand.
    constexpr int Lines = 20000;
    double line = 1e300;
    double lineFloor = 1e300;
    for (int round = 0; round < 3; ++round) {
        const std::wstring stem = L"line" + std::to_wstring(round);
        const std::wstring base = root + L"\\Korvane\\Log\\Bench\\" + stem;
        std::wstring mutexName;
        {
            LoggerWin logger;
            logger.open(L"", L"Bench", stem, Info, 0);
            line = std::min(line, loggedLineUs(logger, Lines));
            FileContext probe(std::make_unique<FileSystem::Path>(), L"", L"Bench", stem, Info, 0);
            probe.open();
            mutexName = probe.mutexName(false);
        }
        const std::vector<std::string> lines = splitLines(readFile(base + L".log"));
        lineFloor = std::min(lineFloor, floorLineUs(base + L".floor", mutexName, lines));
    }

    // Processes: one writer alone, then four at once, each round into fresh files.
    // The best of several rounds: a shared machine slows single rounds at random.
    std::vector<wchar_t> self(32768);
    GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    constexpr int ProcessLines = 4000;
    double one = 0;
    double four = 0;
    double rawOne = 0;
    double rawFour = 0;
    for (int round = 0; round < 4; ++round) {
        const std::wstring r = std::to_wstring(round);
        one = std::max(one, processRate(self.data(), L"writer", L"alone" + r, 1, ProcessLines * 4));
        four = std::max(four, processRate(self.data(), L"writer", L"shared" + r, 4, ProcessLines));
        rawOne = std::max(rawOne, processRate(self.data(), L"raw", L"alone" + r, 1, ProcessLines * 4));
        rawFour = std::max(rawFour, processRate(self.data(), L"raw", L"shared" + r, 4, ProcessLines));
    }
    // The default limit of 50 KB: about 480 lines per file, so both runs rotate the
    // log some 70 times.
    setDword(L"LogMaxSizeKB", 50);
    double rotatingOne = 0;
    double rotatingEight = 0;
    for (int round = 0; round < 4; ++round) {
        const std::wstring r = std::to_wstring(round);
        rotatingOne = std::max(
            rotatingOne, processRate(self.data(), L"writer", L"rotating_alone" + r, 1, ProcessLines * 8));
        rotatingEight = std::max(
            rotatingEight, processRate(self.data(), L"writer", L"rotating_shared" + r, 8, ProcessLines));
    }

    std::printf("filtered_call_ns %.2f\n", filtered);
    std::printf("filtered_floor_ns %.2f\n", filteredFloor);
    std::printf("filtered_ratio %.2f\n", filtered / filteredFloor);
    std::printf("line_us %.2f\n", line);
    std::printf("line_floor_us %.2f\n", lineFloor);
    std::printf("line_ratio %.2f\n", line / lineFloor);
    std::printf("processes_1_lines_per_s %.0f\n", one);
    std::printf("processes_4_lines_per_s %.0f\n", four);
    std::printf("processes_ratio %.2f\n", four / one);
    std::printf("processes_floor_1_lines_per_s %.0f\n", rawOne);
    std::printf("processes_floor_4_lines_per_s %.0f\n", rawFour);
    std::printf("processes_floor_ratio %.2f\n", rawFour / rawOne);
    std::printf("processes_rotating_1_lines_per_s %.0f\n", rotatingOne);
    std::printf("processes_8_lines_per_s %.0f\n", rotatingEight);
    std::printf("processes_8_ratio %.2f\n", rotatingEight / rotatingOne);
    return 0;
}
