#include "Faults.h"
#include "Objects.h"

namespace kv::doubles::ts10 {

namespace {

#define KV_TS10_ENTER(method)                                                                                \
    do {                                                                                                     \
        const HRESULT injected_ = enterCall(method);                                                         \
        if (injected_ != S_OK) {                                                                             \
            return injected_;                                                                                \
        }                                                                                                    \
    } while (false)

// The ".job" names found when the enumerator (or the one it was cloned from)
// was made.
class Enumerator final : public SingleInterfaceObject<IEnumWorkItems, iidEnumWorkItems> {
public:
    Enumerator(std::shared_ptr<const std::vector<std::wstring>> names, size_t position)
        : names_(std::move(names)), position_(position) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, LPWSTR** names, ULONG* fetched) override {
        if (names != nullptr) {
            *names = nullptr;
        }
        if (fetched != nullptr) {
            *fetched = 0;
        }
        KV_TS10_ENTER(L"IEnumWorkItems::Next");
        if (names == nullptr || count == 0 || (fetched == nullptr && count != 1)) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t available = names_->size() - position_;
        const ULONG taken = static_cast<ULONG>(count < available ? count : available);
        if (taken == 0) {
            return S_FALSE;
        }
        auto* array = static_cast<LPWSTR*>(CoTaskMemAlloc(taken * sizeof(LPWSTR)));
        if (array == nullptr) {
            return E_OUTOFMEMORY;
        }
        for (ULONG i = 0; i < taken; ++i) {
            if (FAILED(copyOut((*names_)[position_ + i], &array[i]))) {
                for (ULONG j = 0; j < i; ++j) {
                    CoTaskMemFree(array[j]);
                }
                CoTaskMemFree(array);
                return E_OUTOFMEMORY;
            }
        }
        position_ += taken;
        *names = array;
        if (fetched != nullptr) {
            *fetched = taken;
        }
        return taken == count ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        KV_TS10_ENTER(L"IEnumWorkItems::Skip");
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t available = names_->size() - position_;
        const size_t skipped = count < available ? count : available;
        position_ += skipped;
        return skipped == count ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Reset() override {
        KV_TS10_ENTER(L"IEnumWorkItems::Reset");
        std::lock_guard<std::mutex> lock(mutex_);
        position_ = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IEnumWorkItems** clone) override {
        if (clone != nullptr) {
            *clone = nullptr;
        }
        KV_TS10_ENTER(L"IEnumWorkItems::Clone");
        if (clone == nullptr) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        *clone = new Enumerator(names_, position_);
        return S_OK;
    }

private:
    ~Enumerator() override = default;
    std::mutex mutex_;
    std::shared_ptr<const std::vector<std::wstring>> names_;
    size_t position_;
};

class Scheduler final : public SingleInterfaceObject<ITaskScheduler, iidTaskScheduler> {
public:
    explicit Scheduler(std::wstring folder) : folder_(std::move(folder)) {}

    // Only this computer is served.
    HRESULT STDMETHODCALLTYPE SetTargetComputer(LPCWSTR computer) override {
        KV_TS10_ENTER(L"ITaskScheduler::SetTargetComputer");
        if (computer == nullptr || *computer == L'\0') {
            return S_OK;
        }
        std::wstring name = computer;
        if (name.compare(0, 2, L"\\\\") == 0) {
            name.erase(0, 2);
        }
        return _wcsicmp(name.c_str(), localComputer().c_str()) == 0 ? S_OK
                                                                    : HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
    }

    HRESULT STDMETHODCALLTYPE GetTargetComputer(LPWSTR* computer) override {
        if (computer != nullptr) {
            *computer = nullptr;
        }
        KV_TS10_ENTER(L"ITaskScheduler::GetTargetComputer");
        if (computer == nullptr) {
            return E_INVALIDARG;
        }
        return copyOut(L"\\\\" + localComputer(), computer);
    }

    HRESULT STDMETHODCALLTYPE Enum(IEnumWorkItems** enumerator) override {
        if (enumerator != nullptr) {
            *enumerator = nullptr;
        }
        KV_TS10_ENTER(L"ITaskScheduler::Enum");
        if (enumerator == nullptr) {
            return E_INVALIDARG;
        }
        *enumerator = new Enumerator(std::make_shared<const std::vector<std::wstring>>(listJobs(folder_)), 0);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Activate(LPCWSTR name, REFIID iid, IUnknown** result) override {
        if (result != nullptr) {
            *result = nullptr;
        }
        KV_TS10_ENTER(L"ITaskScheduler::Activate");
        if (result == nullptr || !validName(name)) {
            return E_INVALIDARG;
        }
        JobFile stored;
        const HRESULT read = readJob(jobFilePath(folder_, name), stored);
        if (FAILED(read)) {
            return read;
        }
        WorkItem* item = new WorkItem(folder_, name, stored);
        const HRESULT queried = item->QueryInterface(iid, reinterpret_cast<void**>(result));
        item->Release();
        return queried;
    }

    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) override {
        KV_TS10_ENTER(L"ITaskScheduler::Delete");
        if (!validName(name)) {
            return E_INVALIDARG;
        }
        StoreLock lock;
        if (!DeleteFileW(jobFilePath(folder_, name).c_str())) {
            const DWORD error = GetLastError();
            return HRESULT_FROM_WIN32(error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error);
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE NewWorkItem(LPCWSTR name, REFCLSID clsid, REFIID iid,
                                          IUnknown** result) override {
        if (result != nullptr) {
            *result = nullptr;
        }
        KV_TS10_ENTER(L"ITaskScheduler::NewWorkItem");
        if (result == nullptr || !validName(name) || clsid != clsidTask) {
            return E_INVALIDARG;
        }
        if (GetFileAttributesW(jobFilePath(folder_, name).c_str()) != INVALID_FILE_ATTRIBUTES) {
            return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        }
        WorkItem* item = new WorkItem(folder_, name);
        const HRESULT queried = item->QueryInterface(iid, reinterpret_cast<void**>(result));
        item->Release();
        return queried;
    }

    HRESULT STDMETHODCALLTYPE AddWorkItem(LPCWSTR name, IScheduledWorkItem* workItem) override {
        KV_TS10_ENTER(L"ITaskScheduler::AddWorkItem");
        if (!validName(name) || workItem == nullptr) {
            return E_INVALIDARG;
        }
        IUnknown* implementation = nullptr;
        if (FAILED(workItem->QueryInterface(iidWorkItemImplementation,
                                            reinterpret_cast<void**>(&implementation)))) {
            return E_INVALIDARG;
        }
        HRESULT result = HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        if (GetFileAttributesW(jobFilePath(folder_, name).c_str()) == INVALID_FILE_ATTRIBUTES) {
            result = static_cast<WorkItem*>(static_cast<ITask*>(implementation))->storeAs(folder_, name);
        }
        implementation->Release();
        return result;
    }

    HRESULT STDMETHODCALLTYPE IsOfType(LPCWSTR name, REFIID iid) override {
        KV_TS10_ENTER(L"ITaskScheduler::IsOfType");
        if (!validName(name)) {
            return E_INVALIDARG;
        }
        JobFile stored;
        const HRESULT read = readJob(jobFilePath(folder_, name), stored);
        if (FAILED(read)) {
            return read;
        }
        return iid == iidTask || iid == iidScheduledWorkItem ? S_OK : S_FALSE;
    }

private:
    ~Scheduler() override = default;

    static std::wstring localComputer() {
        wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
        return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
    }

    std::wstring folder_;
};

class ClassFactory final : public SingleInterfaceObject<IClassFactory, IID_IClassFactory> {
public:
    ClassFactory(const GUID& clsid, std::wstring folder) : clsid_(clsid), folder_(std::move(folder)) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        KV_TS10_ENTER(L"IClassFactory::CreateInstance");
        if (clsid_ == clsidTaskScheduler) {
            std::wstring folder = folder_.empty() ? tasksFolder() : folder_;
            ensureFolder(folder);
            return createScheduler(folder, iid, result);
        }
        WorkItem* item = new WorkItem(std::wstring(), std::wstring());
        const HRESULT queried = item->QueryInterface(iid, result);
        item->Release();
        return queried;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++moduleReferences;
        } else {
            --moduleReferences;
        }
        return S_OK;
    }

private:
    ~ClassFactory() override = default;
    GUID clsid_;
    std::wstring folder_;
};

} // namespace

HRESULT createScheduler(const std::wstring& folder, REFIID iid, void** result) {
    Scheduler* scheduler = new Scheduler(folder);
    const HRESULT queried = scheduler->QueryInterface(iid, result);
    scheduler->Release();
    return queried;
}

HRESULT createClassFactory(const GUID& clsid, const std::wstring& folder, REFIID iid, void** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    if (clsid != clsidTaskScheduler && clsid != clsidTask) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    ClassFactory* factory = new ClassFactory(clsid, folder);
    const HRESULT queried = factory->QueryInterface(iid, result);
    factory->Release();
    return queried;
}

} // namespace kv::doubles::ts10
