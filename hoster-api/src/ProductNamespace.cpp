#include <windows.h>

#include "hoster-api/ProductNamespace.h"

// Until the namespace resolver is available every run uses the default namespace.
std::wstring productNamespaceName() {
    return L"wp_default";
}
