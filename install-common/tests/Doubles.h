#pragma once

#include <windows.h>

#include "install-common/Scheduler10.h"
#include "install-common/Scheduler20.h"
#include "install-common/Trigger.h"
#include "kvtl/Com.h"
#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"
#include "taskscheduler10/TaskScheduler10Double.h"
#include "taskscheduler20/TaskScheduler20Double.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace kv::test {

// The stand-in for the scheduled program, built beside the tests.
inline std::wstring marker() {
    return besideTestExecutable(L"install_common_marker.exe");
}

// The stand-in program writes a line "started\n" for each start into a file of the test's own.
class StartCounter {
public:
    StartCounter() { SetEnvironmentVariableW(L"KV_MARKER_FILE", (directory / L"starts.txt").c_str()); }
    ~StartCounter() {
        SetEnvironmentVariableW(L"KV_MARKER_FILE", nullptr);
        SetEnvironmentVariableW(L"KV_MARKER_SLEEP_MS", nullptr);
    }
    // Waits up to five seconds for that many starts; then the count.
    std::size_t waitFor(std::size_t starts) const {
        for (int i = 0; i < 100 && read() < starts; ++i) {
            Sleep(50);
        }
        return read();
    }
    std::size_t read() const { return readFile(directory / L"starts.txt").size() / 8; }

private:
    TempDirectory directory;
};

// Makes the next call of an "Interface::Method" of a double fail with the result.
inline void failNext(const std::wstring& method, HRESULT result) {
    doubles::failCall(method, doubles::callCount(method) + 1, result);
}

// Counts the task-allocator blocks (CoTaskMemAlloc) allocated and not yet freed
// while it is registered: texts and data the platform hands out must be released.
class TaskMemorySpy final : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        *result = iid == IID_IUnknown || iid == IID_IMallocSpy ? this : nullptr;
        return *result != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
    void* STDMETHODCALLTYPE PostAlloc(void* block) override {
        std::lock_guard<std::mutex> guard(lock);
        live.insert(block);
        return block;
    }
    void* STDMETHODCALLTYPE PreFree(void* block, BOOL) override {
        std::lock_guard<std::mutex> guard(lock);
        live.erase(block);
        return block;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** out, BOOL) override {
        PreFree(block, TRUE);
        *out = block;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override { return PostAlloc(block); }
    void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}
    std::size_t unreleased() {
        std::lock_guard<std::mutex> guard(lock);
        return live.size();
    }

private:
    std::mutex lock;
    std::set<void*> live;
};

// COM in the multithreaded apartment, as the installer enters it, a store of the
// test's own, and at the end the check that every platform object the library
// took a reference on is released again.
class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com.result()));
        liveAtStart = doubles::liveComObjects();
    }
    void TearDown() override { EXPECT_EQ(doubles::liveComObjects(), liveAtStart) << "leaked COM references"; }

    ScopedComInitializer com;
    TempDirectory store;
    long liveAtStart = 0;
};

// With the Task Scheduler 2.0 double.
class TaskScheduler20Test : public SchedulerTest {
protected:
    void SetUp() override {
        ASSERT_EQ(registration.result(), S_OK);
        SchedulerTest::SetUp();
    }
    // The stored XML of a task in the product folder; empty when there is none.
    static std::wstring xmlOf(const std::wstring& name) {
        return doubles::readTaskScheduler20Xml(L"\\Korvane\\" + name);
    }

    doubles::ScopedTaskScheduler20Registration registration{{store.path()}};
};

// With the Task Scheduler 1.0 double, whose texts and data are task-allocator
// blocks: every one the library is handed must be freed again.
class TaskScheduler10Test : public SchedulerTest {
protected:
    void SetUp() override {
        ASSERT_EQ(registration.result(), S_OK);
        SchedulerTest::SetUp();
        ASSERT_EQ(CoRegisterMallocSpy(&spy), S_OK);
    }
    void TearDown() override {
        SchedulerTest::TearDown();
        EXPECT_EQ(spy.unreleased(), 0u) << "leaked task-allocator blocks";
        CoRevokeMallocSpy();
    }
    // A work item as the service holds it, through a connection of the test's own.
    static ComPtr<ITask> storedWorkItem(const std::wstring& name) {
        ComPtr<ITaskScheduler> service;
        ComPtr<ITask> item;
        EXPECT_EQ(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                                   service.putVoid()),
                  S_OK);
        EXPECT_EQ(service->Activate(name.c_str(), IID_ITask, reinterpret_cast<IUnknown**>(item.put())), S_OK);
        return item;
    }

    doubles::ScopedTaskScheduler10Registration registration{store.path()};
    TaskMemorySpy spy;
};

// Runs the call and expects a kv::ComException with that HRESULT and an empty
// reason or, for S_OK, another kv::BaseException with that reason; either from
// `where` below kv ("Scheduler20::Task20::save"), the source file of its innermost
// class and a line.
template <class Call>
void expectThrow(Call&& call, HRESULT hr, const std::wstring& where, const std::wstring& reason = L"") {
    const std::wstring owner = where.substr(0, where.rfind(L"::"));
    const std::wstring file = L"install-common/" + owner.substr(owner.rfind(L':') + 1) + L".cpp";
    try {
        call();
        ADD_FAILURE() << "no exception; expected " << std::hex << hr << " from " << str::wideToUtf8(where);
    } catch (const BaseException& error) {
        const auto* com = dynamic_cast<const ComException*>(&error);
        EXPECT_EQ(com != nullptr ? com->comError().Error() : S_OK, hr) << error.what();
        EXPECT_EQ(error.reason(), reason);
        EXPECT_EQ(error.function(), L"kv::" + where);
        EXPECT_EQ(error.file(), file);
        EXPECT_GT(error.line(), 0u);
    }
}

// A time point from a UTC calendar time, with a fraction of a second in ticks.
inline TimePoint utcTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                         TimePoint ticks = 0) {
    const SYSTEMTIME utc = {year, month, 0, day, hour, minute, second, 0};
    FILETIME file = {};
    SystemTimeToFileTime(&utc, &file);
    return static_cast<TimePoint>((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) -
           116444736000000000LL + ticks;
}

// The local calendar time of a time point by the Win32 time-zone rules, an
// oracle independent of the C run-time's conversion.
inline SYSTEMTIME localTimeOf(TimePoint time) {
    const auto value = static_cast<ULONGLONG>(time + 116444736000000000LL);
    const FILETIME file = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    SYSTEMTIME utc = {}, local = {};
    FileTimeToSystemTime(&file, &utc);
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    return local;
}

inline std::wstring isoText(const SYSTEMTIME& time) {
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond);
    return text;
}

// True when this run was started in the test zone UTC+5:45 (no daylight saving).
inline bool inNepalTime() {
    const char* zone = std::getenv("TZ");
    return zone != nullptr && std::string(zone) == "NPT-5:45";
}

// The inner text of the first element of that name in a task's XML; empty when absent.
inline std::wstring element(const std::wstring& xml, const std::wstring& name) {
    for (std::size_t at = xml.find(L"<" + name); at != std::wstring::npos;
         at = xml.find(L"<" + name, at + 1)) {
        const std::size_t after = at + 1 + name.size();
        if (after < xml.size() && (xml[after] == L'>' || xml[after] == L' ')) {
            const std::size_t open = xml.find(L'>', after);
            return xml[open - 1] == L'/'
                       ? std::wstring()
                       : xml.substr(open + 1, xml.find(L"</" + name + L">", open) - open - 1);
        }
    }
    return std::wstring();
}

// A trigger of a kind no backend knows.
struct OddTrigger : Trigger {
    OddTrigger() : Trigger(static_cast<TriggerType>(5)) {}
};

// A backend fixture with a scheduler of the test's own, released before the leak checks.
template <class Backend, class Scheduler>
class Connected : public Backend {
protected:
    void SetUp() override {
        Backend::SetUp();
        scheduler = connect();
    }
    void TearDown() override {
        scheduler.reset();
        Backend::TearDown();
    }
    static std::shared_ptr<kv::IScheduler> connect() { return std::make_shared<Scheduler>(); }
    // A new, unsaved task that runs the stand-in program.
    std::shared_ptr<kv::Task> newTask(const std::wstring& name) {
        const auto task = scheduler->createTask(name);
        task->setCommand(marker());
        return task;
    }

    std::shared_ptr<kv::IScheduler> scheduler;
};

} // namespace kv::test
