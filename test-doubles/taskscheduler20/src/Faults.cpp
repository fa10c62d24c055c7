#include "Faults.h"

#include <cwctype>
#include <map>
#include <mutex>
#include <vector>

namespace kv::ts20 {

namespace {

struct FaultTable {
    std::mutex lock;
    bool environmentRead = false;
    std::map<std::wstring, unsigned> counts;
    std::map<std::wstring, std::map<unsigned, HRESULT>> faults; // method -> call -> result
    kv::doubles::TaskScheduler20RegisterCall lastRegistration;
};

std::wstring bstrText(const VARIANT& value) {
    return value.vt == VT_BSTR && value.bstrVal != nullptr
               ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal))
               : std::wstring();
}

FaultTable& table() {
    static FaultTable instance;
    return instance;
}

std::wstring trim(const std::wstring& text) {
    const auto first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// Reads KV_TS20_FAULTS once, with the table's lock held by the caller.
void readEnvironmentLocked(FaultTable& faults) {
    if (faults.environmentRead) {
        return;
    }
    faults.environmentRead = true;
    std::vector<wchar_t> buffer(32768);
    const DWORD length =
        GetEnvironmentVariableW(L"KV_TS20_FAULTS", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        return;
    }
    const std::wstring text(buffer.data(), length);
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(L';', start), text.size());
        const std::wstring entry = trim(text.substr(start, end - start));
        const size_t at = entry.find(L'@');
        const size_t equals = entry.find(L'=', at == std::wstring::npos ? 0 : at);
        if (at != std::wstring::npos && equals != std::wstring::npos) {
            wchar_t* stop = nullptr;
            const unsigned long call = std::wcstoul(entry.c_str() + at + 1, &stop, 10);
            const unsigned long result = std::wcstoul(entry.c_str() + equals + 1, &stop, 0);
            faults.faults[trim(entry.substr(0, at))][static_cast<unsigned>(call)] =
                static_cast<HRESULT>(result);
        }
        start = end + 1;
    }
}

} // namespace

HRESULT countCall(const wchar_t* method) noexcept {
    try {
        FaultTable& faults = table();
        std::lock_guard<std::mutex> guard(faults.lock);
        readEnvironmentLocked(faults);
        const unsigned call = ++faults.counts[method];
        const auto found = faults.faults.find(method);
        if (found == faults.faults.end()) {
            return S_OK;
        }
        for (unsigned key : {call, 0u}) {
            const auto hit = found->second.find(key);
            if (hit != found->second.end()) {
                return hit->second;
            }
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

void injectFault(const std::wstring& method, unsigned call, HRESULT result) {
    FaultTable& faults = table();
    std::lock_guard<std::mutex> guard(faults.lock);
    faults.faults[method][call] = result;
}

void clearFaults() noexcept {
    FaultTable& faults = table();
    std::lock_guard<std::mutex> guard(faults.lock);
    faults.faults.clear();
    faults.counts.clear();
    faults.lastRegistration = {};
    // The environment's faults belong to whole-program runs; a test that resets wants none.
    faults.environmentRead = true;
}

unsigned callCount(const std::wstring& method) {
    FaultTable& faults = table();
    std::lock_guard<std::mutex> guard(faults.lock);
    const auto found = faults.counts.find(method);
    return found == faults.counts.end() ? 0 : found->second;
}

void recordRegistration(BSTR path, LONG flags, const VARIANT& user, const VARIANT& password, LONG logon,
                        const VARIANT& sddl) noexcept {
    try {
        FaultTable& faults = table();
        std::lock_guard<std::mutex> guard(faults.lock);
        kv::doubles::TaskScheduler20RegisterCall& call = faults.lastRegistration;
        const unsigned count = call.count + 1;
        call = {};
        call.count = count;
        call.path = path != nullptr ? std::wstring(path, SysStringLen(path)) : std::wstring();
        call.flags = flags;
        call.userType = user.vt;
        call.user = bstrText(user);
        call.passwordType = password.vt;
        call.logonType = logon;
        call.sddlType = sddl.vt;
        call.sddl = bstrText(sddl);
    } catch (...) {
        // Out of memory: the record is for tests only and may stay incomplete.
    }
}

kv::doubles::TaskScheduler20RegisterCall lastRegistration() {
    FaultTable& faults = table();
    std::lock_guard<std::mutex> guard(faults.lock);
    return faults.lastRegistration;
}

} // namespace kv::ts20
