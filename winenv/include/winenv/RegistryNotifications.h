#pragma once

#include <windows.h>

#include "kvtl/Handle.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Registers one change notification on a key; replaceable so that the manager can be
// driven without the platform's notifications.
class IRegistryNotifier {
public:
    virtual ~IRegistryNotifier() = default;
    // Arms one notification of the key's changes that signals `event`; answers the
    // Win32 error code (ERROR_SUCCESS when armed).
    virtual LSTATUS notifyChange(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                 BOOL asynchronous) = 0;
};

// The platform's notification: RegNotifyChangeKeyValue with the same arguments.
class RegistryNotifierImpl : public IRegistryNotifier {
public:
    LSTATUS notifyChange(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                         BOOL asynchronous) override;
};

// Runs callbacks when watched registry keys change, on one worker thread of its own.
class IRegistryChangeNotificationManager {
public:
    virtual ~IRegistryChangeNotificationManager() = default;
    // Watches root\path (opened now, for KEY_NOTIFY in the view that samFlags chooses)
    // and wakes the worker, which arms the watch. True when the watch was taken and the
    // worker woken; on false GetLastError() says why. A key that cannot be opened is
    // still taken and simply never fires.
    virtual bool addWatch(HKEY root, const std::wstring& path, bool watchSubtree, DWORD notifyFilter,
                          std::function<void()> callback, REGSAM samFlags = 0) = 0;
    // Stops and joins the worker and drops every watch (closing their keys and events);
    // a later addWatch starts afresh. From a callback it refuses: false, nothing changes,
    // GetLastError() is ERROR_POSSIBLE_DEADLOCK.
    virtual bool removeAll() = 0;
    // True while the worker is blocked waiting for a change or a new watch.
    virtual bool isWaiting() const = 0;
};

// One worker thread waits on every watch at once and runs a watch's callback each time
// its notification is signalled, then re-arms it; changes made while the callback runs
// are not reported. Callbacks run on the worker with the watch lists locked, so they may
// add watches (armed once the callback has returned) but must not call removeAll (it
// refuses) and must not destroy the manager (that ends the process: the worker cannot
// join itself). An exception escaping a callback is dropped and the watch stays armed.
// addWatch, removeAll and isWaiting may be called from any thread.
class RegistryChangeNotificationManager : public IRegistryChangeNotificationManager {
public:
    // The wait covers two events of its own and one per watch, within the system's limit
    // of MAXIMUM_WAIT_OBJECTS handles: addWatch refuses more than this many watches.
    static constexpr std::size_t kMaxWatches = MAXIMUM_WAIT_OBJECTS - 2;

    // Without a notifier it uses a RegistryNotifierImpl.
    explicit RegistryChangeNotificationManager(std::shared_ptr<IRegistryNotifier> notifier = nullptr);
    // As removeAll; called from a callback it ends the process rather than wait forever.
    ~RegistryChangeNotificationManager() override;
    RegistryChangeNotificationManager(const RegistryChangeNotificationManager&) = delete;
    RegistryChangeNotificationManager& operator=(const RegistryChangeNotificationManager&) = delete;

    // Refuses an empty callback (ERROR_INVALID_PARAMETER) and a watch beyond kMaxWatches
    // (ERROR_NOT_ENOUGH_QUOTA); the watches already taken keep working.
    bool addWatch(HKEY root, const std::wstring& path, bool watchSubtree, DWORD notifyFilter,
                  std::function<void()> callback, REGSAM samFlags = 0) override;
    bool removeAll() override;
    bool isWaiting() const override;

private:
    // Destroying a watch closes its event, destroys the callback and closes the key.
    struct Watch {
        kv::UniqueHkey key; // null when the key could not be opened: never armed
        bool watchSubtree;
        DWORD notifyFilter;
        std::function<void()> callback;
        kv::UniqueHandle event; // auto-reset
    };

    DWORD add(HKEY root, const std::wstring& path, bool watchSubtree, DWORD notifyFilter,
              std::function<void()> callback, REGSAM samFlags);
    // A recursive mutex over a critical section. MinGW's std::recursive_mutex is never
    // destroyed and keeps an event handle for good once it has been contended.
    class RecursiveMutex {
    public:
        RecursiveMutex() noexcept { ::InitializeCriticalSection(&section_); }
        ~RecursiveMutex() { ::DeleteCriticalSection(&section_); }
        RecursiveMutex(const RecursiveMutex&) = delete;
        RecursiveMutex& operator=(const RecursiveMutex&) = delete;
        void lock() noexcept { ::EnterCriticalSection(&section_); }
        void unlock() noexcept { ::LeaveCriticalSection(&section_); }

    private:
        CRITICAL_SECTION section_;
    };

    bool onWorkerThread() const;
    DWORD startWorker();
    void stopWorker();
    void arm(Watch& watch);
    static unsigned WINAPI threadProc(void* self) noexcept;
    void run() noexcept;

    std::shared_ptr<IRegistryNotifier> notifier_;
    std::atomic<bool> waiting_{false};
    std::vector<Watch> activeWatches_;
    std::vector<Watch> pendingWatches_;
    RecursiveMutex lock_; // both lists and the worker's events
    kv::UniqueHandle thread_;
    kv::UniqueHandle stopEvent_;
    kv::UniqueHandle wakeEvent_;
    // Serialises starting and stopping the worker; never taken on the worker itself.
    std::mutex control_;
    std::atomic<DWORD> workerId_{0};
};
