#include <windows.h>

#include "winenv/RegistryNotifications.h"

#include <process.h>

#include <array>
#include <exception>
#include <utility>

LSTATUS RegistryNotifierImpl::notifyChange(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                           BOOL asynchronous) {
    return ::RegNotifyChangeKeyValue(key, watchSubtree, notifyFilter, event, asynchronous);
}

RegistryChangeNotificationManager::RegistryChangeNotificationManager(
    std::shared_ptr<IRegistryNotifier> notifier)
    : notifier_(notifier ? std::move(notifier) : std::make_shared<RegistryNotifierImpl>()) {}

RegistryChangeNotificationManager::~RegistryChangeNotificationManager() {
    // The worker would wait for itself to end, and the callback running now belongs to
    // this object: there is no way on but out.
    if (onWorkerThread()) {
        std::terminate();
    }
    std::lock_guard<std::mutex> control(control_);
    stopWorker();
}

bool RegistryChangeNotificationManager::addWatch(HKEY root, const std::wstring& path, bool watchSubtree,
                                                 DWORD notifyFilter, std::function<void()> callback,
                                                 REGSAM samFlags) {
    DWORD error = ERROR_SUCCESS;
    {
        // Everything is released before the error is set, so nothing can overwrite it.
        std::function<void()> owned;
        owned.swap(callback);
        error = add(root, path, watchSubtree, notifyFilter, std::move(owned), samFlags);
    }
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

DWORD RegistryChangeNotificationManager::add(HKEY root, const std::wstring& path, bool watchSubtree,
                                             DWORD notifyFilter, std::function<void()> callback,
                                             REGSAM samFlags) {
    if (!callback) {
        return ERROR_INVALID_PARAMETER;
    }
    // A callback runs on the worker, which removeAll may be joining with control_ held;
    // the worker is running anyway while it adds a watch.
    const bool fromWorker = onWorkerThread();
    std::unique_lock<std::mutex> control(control_, std::defer_lock);
    if (!fromWorker) {
        control.lock();
    }
    std::lock_guard<RecursiveMutex> guard(lock_);
    // Beyond the limit the worker's wait would fail and end it, and with it every watch.
    if (activeWatches_.size() + pendingWatches_.size() >= kMaxWatches) {
        return ERROR_NOT_ENOUGH_QUOTA;
    }
    Watch watch{kv::UniqueHkey(), watchSubtree, notifyFilter, std::move(callback),
                kv::UniqueHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr))};
    if (!watch.event) {
        return ::GetLastError();
    }
    if (!fromWorker && !thread_) {
        const DWORD error = startWorker();
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_NOTIFY | samFlags, &key) == ERROR_SUCCESS) {
        watch.key.reset(key);
    }
    pendingWatches_.push_back(std::move(watch));
    // Armed by the worker when it wakes: a notification belongs to the thread that
    // registered it and is cancelled when that thread ends.
    return ::SetEvent(wakeEvent_.get()) ? ERROR_SUCCESS : ::GetLastError();
}

bool RegistryChangeNotificationManager::removeAll() {
    if (onWorkerThread()) {
        ::SetLastError(ERROR_POSSIBLE_DEADLOCK);
        return false;
    }
    std::lock_guard<std::mutex> control(control_);
    stopWorker();
    return true;
}

bool RegistryChangeNotificationManager::isWaiting() const {
    return waiting_.load();
}

bool RegistryChangeNotificationManager::onWorkerThread() const {
    const DWORD worker = workerId_.load();
    return worker != 0 && worker == ::GetCurrentThreadId();
}

// Called with control_ and lock_ held.
DWORD RegistryChangeNotificationManager::startWorker() {
    // The worker moves watches into this list and must not fail for want of memory.
    activeWatches_.reserve(kMaxWatches);
    kv::UniqueHandle stopEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!stopEvent) {
        return ::GetLastError();
    }
    kv::UniqueHandle wakeEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!wakeEvent) {
        return ::GetLastError();
    }
    stopEvent_ = std::move(stopEvent);
    wakeEvent_ = std::move(wakeEvent);
    // The CRT's own thread start, since callbacks may use the CRT. The worker takes lock_
    // before anything else, so workerId_ is set before it can run a callback.
    unsigned id = 0;
    thread_.reset(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, threadProc, this, 0, &id)));
    if (!thread_) {
        const DWORD error = ::GetLastError();
        stopEvent_.reset();
        wakeEvent_.reset();
        return error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    workerId_ = id;
    return ERROR_SUCCESS;
}

// Called with control_ held, never on the worker. lock_ is not held while joining: the
// worker takes it on its way to the stop event.
void RegistryChangeNotificationManager::stopWorker() {
    if (thread_) {
        ::SetEvent(stopEvent_.get());
        ::WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
    workerId_ = 0;
    std::vector<Watch> active;
    std::vector<Watch> pending;
    {
        std::lock_guard<RecursiveMutex> guard(lock_);
        active.swap(activeWatches_);
        pending.swap(pendingWatches_);
        stopEvent_.reset();
        wakeEvent_.reset();
    }
}

void RegistryChangeNotificationManager::arm(Watch& watch) {
    if (watch.key) {
        notifier_->notifyChange(watch.key.get(), watch.watchSubtree ? TRUE : FALSE, watch.notifyFilter,
                                watch.event.get(), TRUE);
    }
}

unsigned WINAPI RegistryChangeNotificationManager::threadProc(void* self) noexcept {
    static_cast<RegistryChangeNotificationManager*>(self)->run();
    return 0;
}

void RegistryChangeNotificationManager::run() noexcept {
    std::array<HANDLE, MAXIMUM_WAIT_OBJECTS> handles{};
    for (;;) {
        DWORD count = 0;
        {
            std::lock_guard<RecursiveMutex> guard(lock_);
            handles[count++] = stopEvent_.get();
            handles[count++] = wakeEvent_.get();
            for (const Watch& watch : activeWatches_) {
                handles[count++] = watch.event.get();
            }
        }
        waiting_ = true;
        const DWORD result = ::WaitForMultipleObjects(count, handles.data(), FALSE, INFINITE);
        waiting_ = false;
        if (result == WAIT_OBJECT_0) {
            return;
        }
        std::lock_guard<RecursiveMutex> guard(lock_);
        if (result == WAIT_OBJECT_0 + 1) {
            for (Watch& watch : pendingWatches_) {
                arm(watch);
                activeWatches_.push_back(std::move(watch));
            }
            pendingWatches_.clear();
        } else if (result >= WAIT_OBJECT_0 + 2 && result - WAIT_OBJECT_0 - 2 < activeWatches_.size()) {
            // A callback only ever adds pending watches, so this reference stays valid.
            Watch& watch = activeWatches_[result - WAIT_OBJECT_0 - 2];
            try {
                watch.callback();
            } catch (...) {
                // Nobody could catch it on this thread: the watch carries on.
            }
            arm(watch);
        } else {
            // The list never exceeds the wait's limit, so this cannot happen.
            return;
        }
    }
}
