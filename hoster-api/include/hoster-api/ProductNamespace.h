#pragma once

#include <string>

// The product namespace name under which the host client works: "wp_default" when no
// namespace is configured, else "wp_" followed by the namespace. Computed afresh on each
// call (the namespace resolver caches its own answer).
std::wstring productNamespaceName();
