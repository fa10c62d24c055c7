#include "taskscheduler10/TaskScheduler10Double.h"

#include "Faults.h"
#include "Objects.h"
#include "Server.h"

#include "kvtl/Handle.h"

#include <vector>

namespace kv::doubles {

namespace {

constexpr const wchar_t* previousValue = L"KvPreviousInprocServer32";

std::wstring clsidText(const GUID& clsid) {
    wchar_t text[64] = {};
    StringFromGUID2(clsid, text, 64);
    return text;
}

std::wstring serverKey(const GUID& clsid) {
    return L"Software\\Classes\\CLSID\\" + clsidText(clsid) + L"\\InprocServer32";
}

bool readString(HKEY key, const wchar_t* name, std::wstring& value) {
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                     buffer.data(), &size) != ERROR_SUCCESS) {
        return false;
    }
    value = buffer.data();
    return true;
}

LSTATUS writeString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

HRESULT registerClass(const GUID& clsid, const std::wstring& modulePath) {
    UniqueHkey key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, serverKey(clsid).c_str(), 0, nullptr, 0,
                                     KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(status);
    }
    std::wstring current;
    std::wstring saved;
    // Registering twice must not lose the platform's own server.
    if (readString(key.get(), nullptr, current) && _wcsicmp(current.c_str(), modulePath.c_str()) != 0 &&
        !readString(key.get(), previousValue, saved)) {
        std::wstring model;
        readString(key.get(), L"ThreadingModel", model);
        status = writeString(key.get(), previousValue, current + L"|" + model);
        if (status != ERROR_SUCCESS) {
            return HRESULT_FROM_WIN32(status);
        }
    }
    status = writeString(key.get(), nullptr, modulePath);
    if (status == ERROR_SUCCESS) {
        status = writeString(key.get(), L"ThreadingModel", L"Both");
    }
    return HRESULT_FROM_WIN32(status);
}

HRESULT unregisterClass(const GUID& clsid) {
    UniqueHkey key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, serverKey(clsid).c_str(), 0,
                                   KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, key.put());
    if (status == ERROR_FILE_NOT_FOUND) {
        return S_OK;
    }
    if (status != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(status);
    }
    std::wstring saved;
    if (readString(key.get(), previousValue, saved)) {
        const size_t bar = saved.find_last_of(L'|');
        status = writeString(key.get(), nullptr, saved.substr(0, bar));
        const std::wstring model = bar == std::wstring::npos ? std::wstring() : saved.substr(bar + 1);
        if (status == ERROR_SUCCESS && !model.empty()) {
            status = writeString(key.get(), L"ThreadingModel", model);
        }
        if (status == ERROR_SUCCESS) {
            status = RegDeleteValueW(key.get(), previousValue);
        }
        return HRESULT_FROM_WIN32(status);
    }
    RegDeleteValueW(key.get(), nullptr);
    RegDeleteValueW(key.get(), L"ThreadingModel");
    return S_OK;
}

} // namespace

ScopedTaskScheduler10Registration::ScopedTaskScheduler10Registration(std::wstring tasksFolder)
    : folder_(tasksFolder.empty() ? ts10::tasksFolder() : std::move(tasksFolder)) {
    ts10::clearFaults();
    ts10::ensureFolder(folder_);
    IUnknown* scheduler = nullptr;
    IUnknown* task = nullptr;
    result_ = ts10::createClassFactory(ts10::clsidTaskScheduler, folder_, IID_IUnknown,
                                       reinterpret_cast<void**>(&scheduler));
    if (SUCCEEDED(result_)) {
        result_ =
            ts10::createClassFactory(ts10::clsidTask, folder_, IID_IUnknown, reinterpret_cast<void**>(&task));
    }
    if (SUCCEEDED(result_)) {
        result_ = CoRegisterClassObject(ts10::clsidTaskScheduler, scheduler, CLSCTX_INPROC_SERVER,
                                        REGCLS_MULTIPLEUSE, &schedulerCookie_);
    }
    if (SUCCEEDED(result_)) {
        result_ = CoRegisterClassObject(ts10::clsidTask, task, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                        &taskCookie_);
    }
    // COM holds its own references to registered class objects.
    if (scheduler != nullptr) {
        scheduler->Release();
    }
    if (task != nullptr) {
        task->Release();
    }
}

ScopedTaskScheduler10Registration::~ScopedTaskScheduler10Registration() {
    if (taskCookie_ != 0) {
        CoRevokeClassObject(taskCookie_);
    }
    if (schedulerCookie_ != 0) {
        CoRevokeClassObject(schedulerCookie_);
    }
    ts10::clearFaults();
}

namespace ts10 {

HRESULT registerServer(const std::wstring& modulePath) {
    const HRESULT result = registerClass(clsidTaskScheduler, modulePath);
    return FAILED(result) ? result : registerClass(clsidTask, modulePath);
}

HRESULT unregisterServer() {
    const HRESULT result = unregisterClass(clsidTaskScheduler);
    return FAILED(result) ? result : unregisterClass(clsidTask);
}

} // namespace ts10
} // namespace kv::doubles
