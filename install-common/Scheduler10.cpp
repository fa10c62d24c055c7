#include <windows.h>
#include <mstask.h>

#include "install-common/Scheduler10.h"
#include "kvtl/Exceptions.h"

#include <cwchar>

namespace kv {

namespace {

constexpr CLSID SchedulerClass = {
    0x148BD52A, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr IID SchedulerInterface = {
    0x148BD527, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr CLSID WorkItemClass = {
    0x148BD520, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr IID WorkItemInterface = {
    0x148BD524, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
// In-process server and handler, local and remote server: wherever the service is.
constexpr DWORD SchedulerContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr wchar_t JobSuffix[] = L".job";

void check(HRESULT hr, const wchar_t* function, unsigned int line) {
    if (FAILED(hr)) {
        throw ComException(ComError(hr), L"", function, KV_WFILE, line);
    }
}

// A call that succeeded without handing out its object is treated as failed,
// so that nothing is used that was not returned.
template <class T>
void checkOut(HRESULT hr, const ComPtr<T>& result, const wchar_t* function, unsigned int line) {
    check(hr, function, line);
    if (!result) {
        check(E_POINTER, function, line);
    }
}

// Work items are ".job" files; a name without the suffix is kept whole.
std::wstring withoutJobSuffix(std::wstring name) {
    constexpr std::size_t suffixLength = sizeof(JobSuffix) / sizeof(wchar_t) - 1;
    if (name.size() >= suffixLength &&
        ::_wcsicmp(name.c_str() + name.size() - suffixLength, JobSuffix) == 0) {
        name.resize(name.size() - suffixLength);
    }
    return name;
}

} // namespace

Scheduler10::Scheduler10() {
    checkOut(::CoCreateInstance(SchedulerClass, nullptr, SchedulerContext, SchedulerInterface,
                                scheduler.putVoid()),
             scheduler, L"kv::Scheduler10::Scheduler10", __LINE__);
}

std::vector<std::wstring> Scheduler10::getTasks() {
    constexpr const wchar_t* function = L"kv::Scheduler10::getTasks";
    ComPtr<IEnumWorkItems> items;
    checkOut(scheduler->Enum(items.put()), items, function, __LINE__);
    std::vector<std::wstring> names;
    HRESULT hr = S_OK;
    do {
        LPWSTR* fetchedNames = nullptr;
        ULONG fetched = 0;
        hr = items->Next(1, &fetchedNames, &fetched);
        check(hr, function, __LINE__);
        if (fetched == 1 && fetchedNames != nullptr) {
            std::wstring name;
            if (fetchedNames[0] != nullptr) {
                name = fetchedNames[0];
                ::CoTaskMemFree(fetchedNames[0]);
            }
            ::CoTaskMemFree(fetchedNames);
            names.push_back(withoutJobSuffix(std::move(name)));
        } else {
            ::CoTaskMemFree(fetchedNames);
        }
    } while (hr == S_OK);
    return names;
}

std::shared_ptr<Task> Scheduler10::createTask(const std::wstring& name) {
    ComPtr<ITask> workItem;
    checkOut(scheduler->NewWorkItem(name.c_str(), WorkItemClass, WorkItemInterface,
                                    reinterpret_cast<IUnknown**>(workItem.put())),
             workItem, L"kv::Scheduler10::createTask", __LINE__);
    return std::make_shared<Task10>(name, std::move(workItem));
}

void Scheduler10::removeTask(const std::wstring& name) {
    check(scheduler->Delete(name.c_str()), L"kv::Scheduler10::removeTask", __LINE__);
}

void Scheduler10::removeFolder() {}

std::shared_ptr<Task> Scheduler10::getTask(const std::wstring& name) {
    ComPtr<ITask> workItem;
    const HRESULT hr =
        scheduler->Activate(name.c_str(), WorkItemInterface, reinterpret_cast<IUnknown**>(workItem.put()));
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        return nullptr;
    }
    checkOut(hr, workItem, L"kv::Scheduler10::getTask", __LINE__);
    return std::make_shared<Task10>(name, std::move(workItem));
}

} // namespace kv
