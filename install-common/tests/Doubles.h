#pragma once

#include <windows.h>

#include "install-common/Scheduler10.h"
#include "install-common/Scheduler20.h"
#include "kvtl/Com.h"
#include "taskscheduler10/TaskScheduler10Double.h"
#include "taskscheduler20/TaskScheduler20Double.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace kv::test {

// The stand-in for the scheduled program, built beside the tests.
inline std::wstring marker() {
    return besideTestExecutable(L"install_common_marker.exe");
}

// The stand-in program counts its starts in a file of the test's own.
class StartCounter {
public:
    StartCounter() { SetEnvironmentVariableW(L"KV_MARKER_FILE", (directory / L"starts.txt").c_str()); }
    ~StartCounter() {
        SetEnvironmentVariableW(L"KV_MARKER_FILE", nullptr);
        SetEnvironmentVariableW(L"KV_MARKER_SLEEP_MS", nullptr);
    }
    StartCounter(const StartCounter&) = delete;
    StartCounter& operator=(const StartCounter&) = delete;

    // Waits up to five seconds for that many starts; then the count.
    std::size_t waitFor(std::size_t starts) const {
        for (int i = 0; i < 100 && read() < starts; ++i) {
            Sleep(50);
        }
        return read();
    }
    std::size_t read() const {
        std::ifstream file((directory / L"starts.txt").c_str());
        std::size_t lines = 0;
        for (std::string line; std::getline(file, line);) {
            ++lines;
        }
        return lines;
    }

private:
    TempDirectory directory;
};

// What the installer does: open or create the updater's task, run the program
// every ten minutes from ten minutes on as the local system account, start it now.
inline void installUpdaterTask(IScheduler& scheduler, const std::wstring& program) {
    std::shared_ptr<Task> task = scheduler.getTask(L"Wisp Updater");
    if (!task) {
        task = scheduler.createTask(L"Wisp Updater");
    }
    ASSERT_NE(task, nullptr);
    task->setCommand(program);
    task->setPriority(TaskPriority::High);
    const auto trigger = std::make_shared<RepeatTrigger>();
    trigger->setNoEndDate(true);
    trigger->setStart(currentTime() + 6000000000LL);
    trigger->setInterval(6000000000LL);
    task->setTriggers({trigger});
    task->save(L"", L"");
    task->run();
}

// COM in the multithreaded apartment, as the installer enters it, and the Task
// Scheduler 2.0 double over a store of the test's own.
class TaskScheduler20Test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com.result()));
        doubles::TaskScheduler20Options options;
        options.storeRoot = store.path();
        registration = std::make_unique<doubles::ScopedTaskScheduler20Registration>(options);
        ASSERT_EQ(registration->result(), S_OK);
        liveAtStart = kv::doubles::liveComObjects();
    }
    // Every platform object the library took a reference on is released again.
    void TearDown() override {
        EXPECT_EQ(kv::doubles::liveComObjects(), liveAtStart) << "leaked COM references";
        registration.reset();
    }

    // Makes the next call of an "Interface::Method" fail with the result.
    static void failNext(const std::wstring& method, HRESULT result) {
        kv::doubles::failCall(method, kv::doubles::callCount(method) + 1, result);
    }
    // A folder as the service holds it, through a connection of the test's own;
    // empty when it cannot be opened (the HRESULT then in opened).
    static ComPtr<ITaskFolder> storedFolder(const wchar_t* path, HRESULT* opened = nullptr) {
        ComPtr<ITaskService> service;
        EXPECT_EQ(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                   service.putVoid()),
                  S_OK);
        Variant empty;
        EXPECT_EQ(service->Connect(empty.get(), empty.get(), empty.get(), empty.get()), S_OK);
        ComPtr<ITaskFolder> folder;
        const HRESULT hr = service->GetFolder(Bstr(path).get(), folder.put());
        if (opened != nullptr) {
            *opened = hr;
        }
        return folder;
    }
    // A registered task of "\Korvane" as the service holds it.
    static ComPtr<IRegisteredTask> storedTask(const std::wstring& name) {
        ComPtr<IRegisteredTask> task;
        if (const ComPtr<ITaskFolder> folder = storedFolder(L"\\Korvane")) {
            EXPECT_EQ(folder->GetTask(Bstr(name).get(), task.put()), S_OK);
        }
        return task;
    }

    ScopedComInitializer com;
    TempDirectory store;
    std::unique_ptr<doubles::ScopedTaskScheduler20Registration> registration;
    long liveAtStart = 0;
};

// The same with the Task Scheduler 1.0 double and a tasks folder of the test's own.
class TaskScheduler10Test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com.result()));
        registration = std::make_unique<doubles::ScopedTaskScheduler10Registration>(tasks.path());
        ASSERT_EQ(registration->result(), S_OK);
    }
    void TearDown() override { registration.reset(); }

    static void failNext(const std::wstring& method, HRESULT result) {
        kv::doubles::failCall(method, kv::doubles::callCount(method) + 1, result);
    }
    // A work item as the service holds it, through a connection of the test's own.
    static ComPtr<ITask> storedWorkItem(const std::wstring& name) {
        ComPtr<ITaskScheduler> service;
        EXPECT_EQ(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                                   service.putVoid()),
                  S_OK);
        ComPtr<ITask> item;
        EXPECT_EQ(service->Activate(name.c_str(), IID_ITask, reinterpret_cast<IUnknown**>(item.put())), S_OK);
        return item;
    }
    std::wstring jobFile(const std::wstring& name) const {
        return doubles::ts10::jobFilePath(tasks.path(), name);
    }

    ScopedComInitializer com;
    TempDirectory tasks;
    std::unique_ptr<doubles::ScopedTaskScheduler10Registration> registration;
};

} // namespace kv::test
