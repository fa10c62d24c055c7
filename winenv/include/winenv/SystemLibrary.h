#pragma once

#include <windows.h>

#include "kvtl/Handle.h"

// A library of the system folder (for example L"shell32.dll"), loaded so that neither it
// nor its own dependencies are looked for in the program's folder: through the loader's
// search restricted to the system folder where the loader has one, else by its full
// path there with the search for its dependencies starting beside it. Empty, with the
// loader's error, when it cannot be loaded. Uses no heap.
kv::UniqueModule loadSystemLibrary(const wchar_t* name) noexcept;

namespace winenv::detail {

// The same with the route chosen by the caller: loaderCanRestrictSearch is whether the
// loader knows LOAD_LIBRARY_SEARCH_SYSTEM32 (kernel32 then exports AddDllDirectory).
kv::UniqueModule loadSystemLibrary(const wchar_t* name, bool loaderCanRestrictSearch) noexcept;

} // namespace winenv::detail
