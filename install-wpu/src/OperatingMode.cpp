#include <windows.h>

#include "install-wpu/OperatingMode.h"

#include "logging/Log.h"
#include "winenv/ProductNamespace.h"
#include "winenv/Registry.h"

#include <algorithm>
#include <cwctype>
#include <iterator>
#include <string>

namespace {

// The words that switch a string mode on, compared after lower-casing.
constexpr const wchar_t* EnablingWords[] = {L"true", L"1", L"on", L"yes"};

bool readOperatingMode(const std::wstring& keyPath, const std::wstring& valueName) {
    LightWin32Registry registry;
    registry.setSamFlags(KEY_WOW64_64KEY);
    std::wstring value;
    if (!registry.getString(keyPath, valueName, value)) {
        return false;
    }
    for (wchar_t& c : value) {
        c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
    }
    if (std::find(std::begin(EnablingWords), std::end(EnablingWords), value) == std::end(EnablingWords)) {
        return false;
    }
    KvZarnLogging::log(KvZarnLogging::Info, "`anonymous-namespace'::readOperatingMode", L"\"%ls\" detected.",
                       valueName.c_str());
    return true;
}

} // namespace

bool isROOKOperatingMode() {
    LightWin32Registry registry;
    registry.setSamFlags(KEY_WOW64_64KEY);
    DWORD rook = 0;
    if (!registry.getDword(productRoot(productNamespaceName()), L"rook", rook) || rook == 0) {
        return false;
    }
    KvZarnLogging::log(KvZarnLogging::Info, "isROOKOperatingMode", L"\"rook\" operating mode detected.");
    return true;
}

bool isTEBMode() {
    return readOperatingMode(productRoot(productNamespaceName()) + productpath::UpdatesSuffix, L"TEBMode");
}
