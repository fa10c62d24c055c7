#include "taskscheduler20/TaskScheduler20Double.h"
#include "taskscheduler20/TaskSchedulerExtras.h"

#include "ComBase.h"
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
    ts20::clearFaults();
    IClassFactory* factory = ts20::newClassFactory();
    if (factory == nullptr) {
        result_ = E_OUTOFMEMORY;
        return;
    }
    result_ = CoRegisterClassObject(ts20::kClsidTaskScheduler, factory, CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie_);
    factory->Release();
}

ScopedTaskScheduler20Registration::~ScopedTaskScheduler20Registration() {
    if (SUCCEEDED(result_)) {
        CoRevokeClassObject(cookie_);
    }
    // A store of the test's own has a registry tree of its own, which goes with it.
    if (ts20::store::cacheRootKey() == HKEY_CURRENT_USER) {
        std::wstring key = ts20::store::cachePath();
        key.resize(key.size() - std::wstring(L"\\Tree").size());
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    }
    ts20::store::setRoot(previousRoot_);
    ts20::clearFaults();
}

void injectTaskScheduler20Fault(const std::wstring& method, unsigned call, HRESULT result) {
    ts20::injectFault(method, call, result);
}

void clearTaskScheduler20Faults() {
    ts20::clearFaults();
}

unsigned taskScheduler20CallCount(const std::wstring& method) {
    return ts20::callCount(method);
}

long taskScheduler20LiveObjects() {
    return ts20::moduleReferences();
}

std::wstring taskScheduler20StoreRoot() {
    return ts20::store::root();
}

std::wstring taskScheduler20TaskFile(const std::wstring& taskPath) {
    std::vector<std::wstring> names;
    return FAILED(namesOf(taskPath, names)) ? std::wstring() : ts20::store::fileOf(names);
}

std::wstring readTaskScheduler20Xml(const std::wstring& taskPath) {
    std::vector<std::wstring> names;
    std::wstring xml;
    if (FAILED(namesOf(taskPath, names)) || FAILED(ts20::store::readTask(names, xml))) {
        return {};
    }
    return xml;
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
