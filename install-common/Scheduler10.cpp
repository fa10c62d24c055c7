#include <windows.h>
#include <mstask.h>

#include "install-common/Scheduler10.h"
#include "TaskCommon.h"
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
    KV_CHECK_OUT(::CoCreateInstance(SchedulerClass, nullptr, SchedulerContext, SchedulerInterface,
                                    scheduler.putVoid()),
                 scheduler, L"kv::Scheduler10::Scheduler10");
}

std::vector<std::wstring> Scheduler10::getTasks() {
    constexpr const wchar_t* function = L"kv::Scheduler10::getTasks";
    ComPtr<IEnumWorkItems> items;
    KV_CHECK_OUT(scheduler->Enum(items.put()), items, function);
    std::vector<std::wstring> names;
    HRESULT hr = S_OK;
    do {
        LPWSTR* fetchedNames = nullptr;
        ULONG fetched = 0;
        hr = items->Next(1, &fetchedNames, &fetched);
        KV_CHECK(hr, function);
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
    KV_CHECK_OUT(scheduler->NewWorkItem(name.c_str(), WorkItemClass, WorkItemInterface,
                                        reinterpret_cast<IUnknown**>(workItem.put())),
                 workItem, L"kv::Scheduler10::createTask");
    return std::make_shared<Task10>(name, std::move(workItem));
}

void Scheduler10::removeTask(const std::wstring& name) {
    KV_CHECK(scheduler->Delete(name.c_str()), L"kv::Scheduler10::removeTask");
}

void Scheduler10::removeFolder() {}

std::shared_ptr<Task> Scheduler10::getTask(const std::wstring& name) {
    ComPtr<ITask> workItem;
    const HRESULT hr =
        scheduler->Activate(name.c_str(), WorkItemInterface, reinterpret_cast<IUnknown**>(workItem.put()));
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        return nullptr;
    }
    KV_CHECK_OUT(hr, workItem, L"kv::Scheduler10::getTask");
    return std::make_shared<Task10>(name, std::move(workItem));
}

} // namespace kv
