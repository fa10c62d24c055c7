#include "WinenvTest.h"
#include "winenv/Registry.h"
#include "winenv/RegistryNotifications.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

constexpr DWORD kFilter = REG_NOTIFY_CHANGE_LAST_SET;

// Polls until done() holds; the limit only bounds a failing test.
bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        Sleep(10);
    }
    return done();
}

// Creates the key if needed and writes a REG_DWORD, without any shared object, so that
// callbacks on the worker may call it too.
void setDword(const std::wstring& path, DWORD value, REGSAM view = KEY_WOW64_64KEY) {
    ASSERT_TRUE(kv::test::writeValue(
        HKEY_LOCAL_MACHINE, path, L"v", REG_DWORD,
        {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), 0, 0}, view));
}

// Keeps changing the value until `fired` holds: watchKey gives no sign of when the
// worker has armed its watch.
bool nudgeUntil(const std::wstring& path, REGSAM view, const std::function<bool()>& fired) {
    for (DWORD i = 0; i < 200 && !fired(); ++i) {
        setDword(path, i, view);
        Sleep(50);
    }
    return fired();
}

// The handles open in this process, found by probing handle values (Wine's
// GetProcessHandleCount always answers 0).
DWORD handleCount() {
    DWORD count = 0;
    for (ULONG_PTR value = 4; value < 0x2000; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

// Counts a callback's runs and remembers the thread of the last one.
struct Counter {
    std::atomic<int> runs{0};
    std::atomic<DWORD> thread{0};
    std::function<void()> callback() {
        return [this] {
            thread = GetCurrentThreadId();
            ++runs;
        };
    }
};

struct Arm {
    DWORD filter;
    HANDLE event;
    DWORD thread;
};

// Records every arming and passes it on to the platform, or not, in which case a test
// "changes" a key by signalling the recorded event.
class RecordingNotifier : public IRegistryNotifier {
public:
    explicit RecordingNotifier(bool platform) : platform_(platform) {}
    LSTATUS notifyChange(HKEY key, BOOL subtree, DWORD filter, HANDLE event, BOOL asynchronous) override {
        const LSTATUS result =
            platform_ ? RegistryNotifierImpl().notifyChange(key, subtree, filter, event, asynchronous) : 0;
        std::lock_guard<std::mutex> guard(lock_);
        arms_.push_back({filter, event, GetCurrentThreadId()});
        return result;
    }
    std::deque<Arm> arms() {
        std::lock_guard<std::mutex> guard(lock_);
        return arms_;
    }

private:
    const bool platform_;
    std::mutex lock_;
    std::deque<Arm> arms_;
};

// Each test watches keys below its own HKLM\SOFTWARE subtree (both views, removed before
// and after).
class NotificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        setDword(path_, 0);
        setDword(path_, 0, KEY_WOW64_32KEY);
    }
    std::wstring at(const wchar_t* sub) const { return path_ + L"\\" + sub; }
    bool add(RegistryChangeNotificationManager& manager, const std::wstring& path,
             std::function<void()> callback) {
        return manager.addWatch(HKEY_LOCAL_MACHINE, path, true, kFilter, std::move(callback),
                                KEY_WOW64_64KEY);
    }

    const std::wstring path_ = L"SOFTWARE\\KvWinenvNotifyTests\\" + testName();
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, path_};
    std::shared_ptr<RecordingNotifier> platform_ = std::make_shared<RecordingNotifier>(true);
    std::shared_ptr<RecordingNotifier> fake_ = std::make_shared<RecordingNotifier>(false);
};

TEST_F(NotificationTest, EachNotificationRunsTheCallbackOnceOnTheWorker) {
    RegistryChangeNotificationManager manager(platform_);
    Counter counter;
    ASSERT_TRUE(add(manager, path_, counter.callback()));
    ASSERT_TRUE(eventually([&] { return platform_->arms().size() == 1; }));
    const Arm arm = platform_->arms().at(0);
    EXPECT_EQ(arm.filter, kFilter);
    EXPECT_NE(arm.thread, GetCurrentThreadId());
    EXPECT_TRUE(eventually([&] { return manager.isWaiting(); }));

    // Two changes below the key: the watch is armed again after each.
    setDword(at(L"sub\\deeper"), 1);
    ASSERT_TRUE(eventually([&] { return counter.runs == 1; }));
    ASSERT_TRUE(eventually([&] { return platform_->arms().size() == 2; }));
    setDword(at(L"sub"), 2);
    ASSERT_TRUE(eventually([&] { return counter.runs == 2; }));
    ASSERT_TRUE(eventually([&] { return platform_->arms().size() == 3; }));
    EXPECT_EQ(counter.thread, arm.thread);
    EXPECT_EQ(platform_->arms().at(2).event, arm.event);
}

TEST_F(NotificationTest, RemoveAllAndDestructionCloseEverythingAndAddWatchStartsAfresh) {
    const DWORD before = handleCount();
    {
        RegistryChangeNotificationManager manager(platform_);
        Counter first, second;
        setDword(at(L"first"), 0);
        setDword(at(L"second"), 0);
        ASSERT_TRUE(add(manager, at(L"first"), first.callback()));
        ASSERT_TRUE(add(manager, at(L"missing"), first.callback()));
        ASSERT_TRUE(nudgeUntil(at(L"first"), KEY_WOW64_64KEY, [&] { return first.runs > 0; }));
        EXPECT_GT(handleCount(), before);

        EXPECT_TRUE(manager.removeAll());
        EXPECT_FALSE(manager.isWaiting());
        EXPECT_EQ(handleCount(), before);
        kv::UniqueHandle worker(OpenThread(SYNCHRONIZE, FALSE, first.thread));
        EXPECT_TRUE(!worker || WaitForSingleObject(worker.get(), 0) == WAIT_OBJECT_0);

        const int firstRuns = first.runs;
        ASSERT_TRUE(add(manager, at(L"second"), second.callback()));
        setDword(at(L"first"), 100);
        EXPECT_TRUE(nudgeUntil(at(L"second"), KEY_WOW64_64KEY, [&] { return second.runs > 0; }));
        EXPECT_NE(second.thread, first.thread);
        EXPECT_EQ(first.runs, firstRuns);
    }
    EXPECT_EQ(handleCount(), before);
}

TEST_F(NotificationTest, MisbehavingCallbacksNeitherStopNorBlockTheWorker) {
    RegistryChangeNotificationManager manager(fake_);
    EXPECT_FALSE(add(manager, path_, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::atomic<int> runs{0};
    std::atomic<bool> removed{true};
    std::atomic<DWORD> error{0};
    Counter sentinel;
    ASSERT_TRUE(add(manager, path_, [&] {
        removed = manager.removeAll();
        error = GetLastError();
        ++runs;
    }));
    ASSERT_TRUE(add(manager, path_, [&] {
        ++runs;
        throw std::runtime_error("callback failure");
    }));
    ASSERT_TRUE(add(manager, path_, sentinel.callback()));
    ASSERT_TRUE(eventually([&] { return fake_->arms().size() == 3; }));
    // Signalled in wait order, the sentinel runs last; each signal runs a callback once.
    for (int round = 1; round <= 2; ++round) {
        for (std::size_t i = 0; i < 3; ++i) {
            SetEvent(fake_->arms().at(i).event);
        }
        ASSERT_TRUE(eventually([&] { return sentinel.runs == round; }));
        EXPECT_EQ(runs, 2 * round);
    }
    EXPECT_FALSE(removed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_POSSIBLE_DEADLOCK));
}

TEST_F(NotificationTest, DestroyingTheManagerFromItsCallbackEndsTheProcessInsteadOfHanging) {
    EXPECT_DEATH(
        {
            auto* manager = new RegistryChangeNotificationManager(fake_);
            add(*manager, path_, [manager] { delete manager; });
            eventually([&] { return fake_->arms().size() == 1; });
            SetEvent(fake_->arms().at(0).event);
            Sleep(20000);
        },
        "");
}

TEST_F(NotificationTest, WatchKeyRefusesBadArgumentsAndFollowsTheView) {
    LightWin32Registry registry;
    registry.unwatchAll();
    RegistryStatus status = RegistryStatus::Ok;
    EXPECT_FALSE(registry.watchKey(path_, true, kFilter, nullptr, &status));
    EXPECT_EQ(status, RegistryStatus::InvalidArgument);

    // Only changes in the 32-bit view can fire it: the watch follows the view.
    Counter counter;
    registry.setSamFlags(KEY_WOW64_32KEY);
    ASSERT_TRUE(
        registry.watchKey(std::string(path_.begin(), path_.end()), false, kFilter, counter.callback()));
    EXPECT_EQ(registry.lastStatus(), RegistryStatus::Ok);
    EXPECT_TRUE(nudgeUntil(path_, KEY_WOW64_32KEY, [&] { return counter.runs > 0; }));
}

// Beyond the limit the wait would fail and end the worker: the extra watch is refused
// and all the others keep firing, each on its own event in one wait.
TEST_F(NotificationTest, WatchKeyStopsAtTheWaitLimitAndEveryWatchFires) {
    const DWORD before = handleCount();
    LightWin32Registry registry;
    std::vector<Counter> counters(RegistryChangeNotificationManager::kMaxWatches);
    for (auto& counter : counters) {
        ASSERT_TRUE(registry.watchKey(path_, false, kFilter, counter.callback()));
    }
    RegistryStatus status = RegistryStatus::Ok;
    EXPECT_FALSE(registry.watchKey(
        path_, false, kFilter, [] {}, &status));
    EXPECT_EQ(status, RegistryStatus::Failed);
    EXPECT_TRUE(nudgeUntil(path_, KEY_WOW64_64KEY, [&] {
        return std::all_of(counters.begin(), counters.end(), [](const Counter& c) { return c.runs > 0; });
    }));
    registry.unwatchAll();
    EXPECT_EQ(handleCount(), before);
}

} // namespace
