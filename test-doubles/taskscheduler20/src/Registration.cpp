#include "taskscheduler20/TaskScheduler20Double.h"
#include "taskscheduler20/TaskSchedulerExtras.h"

#include "Faults.h"
#include "Service.h"
#include "Store.h"

namespace kv::doubles {

namespace {

HRESULT namesOf(const std::wstring& taskPath, std::vector<std::wstring>& names) {
    const HRESULT hr = ts20::store::resolve(L"", taskPath, names);
    return SUCCEEDED(hr) && names.empty() ? E_INVALIDARG : hr;
}

} // namespace

ScopedTaskScheduler20Registration::ScopedTaskScheduler20Registration(const TaskScheduler20Options& options)
    : previousRoot_(ts20::store::setRoot(options.storeRoot)) {
    clearFaults();
    ts20::clearRegistration();
    IClassFactory* factory = ts20::newClassFactory();
    result_ = factory == nullptr ? E_OUTOFMEMORY
                                 : CoRegisterClassObject(ts20::kClsidTaskScheduler, factory,
                                                         CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    if (factory != nullptr) {
        factory->Release();
    }
}

ScopedTaskScheduler20Registration::~ScopedTaskScheduler20Registration() {
    if (SUCCEEDED(result_)) {
        CoRevokeClassObject(cookie_);
    }
    ts20::store::setRoot(previousRoot_);
    clearFaults();
    ts20::clearRegistration();
}

std::wstring readTaskScheduler20Xml(const std::wstring& taskPath) {
    std::vector<std::wstring> names;
    std::wstring xml;
    return FAILED(namesOf(taskPath, names)) || FAILED(ts20::store::readTask(names, xml)) ? std::wstring()
                                                                                         : xml;
}

bool writeTaskScheduler20Xml(const std::wstring& taskPath, const std::wstring& xml) {
    std::vector<std::wstring> names;
    if (FAILED(namesOf(taskPath, names))) {
        return false;
    }
    CreateDirectoryW(ts20::store::root().c_str(), nullptr);
    return SUCCEEDED(ts20::store::createFolder(std::vector<std::wstring>(names.begin(), names.end() - 1))) &&
           SUCCEEDED(ts20::store::writeTask(names, xml));
}

TaskScheduler20RegisterCall lastTaskScheduler20Registration() {
    return ts20::lastRegistration();
}

} // namespace kv::doubles
