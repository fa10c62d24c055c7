#include "winenv/ProductNamespace.h"

#include "winenv/NamespaceResolver.h"

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
