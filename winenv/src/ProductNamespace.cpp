#include "winenv/ProductNamespace.h"

#include "winenv/NamespaceResolver.h"

#include <cwchar>

std::wstring productNamespaceName() {
    return productNamespaceNameFor(getCurrentNamespace(nullptr));
}

std::wstring productNamespaceNameFor(const std::wstring& resolvedNamespace) {
    if (resolvedNamespace.empty()) {
        return productpath::DefaultNamespaceName;
    }
    return productpath::NamespacePrefix + resolvedNamespace;
}

std::wstring productRoot(const std::wstring& namespaceName) {
    if (namespaceName == productpath::DefaultNamespaceName) {
        return std::wstring(productpath::MakerRoot) + productpath::Separator + productpath::ProductKeyName;
    }
    return productpath::MakerRoot + (productpath::NamespaceBranch + namespaceName);
}

bool isUsableFolderName(const std::wstring& name) {
    constexpr size_t MaxNameLength = 255;
    if (name.empty() || name.size() > MaxNameLength || name.back() == L' ' || name.back() == L'.') {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const wchar_t c = name[i];
        if (c < 0x20 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr) {
            return false;
        }
        if (c >= 0xD800 && c <= 0xDBFF) { // a high surrogate needs a low one after it
            if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}
