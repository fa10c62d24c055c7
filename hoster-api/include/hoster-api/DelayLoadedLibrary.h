#pragma once

#include "hoster-api/DelayLoad.h"

// One attempt, at construction, to bind a lazily loaded library through one of its
// exports (the probe), under the product namespace. A failure is logged at Info with the
// library's name and the system error and leaves the object unloaded; it is not retried.
// The library, once loaded, stays loaded: destroying the object does nothing.
class DelayLoadedLibrary {
public:
    explicit DelayLoadedLibrary(DelayImportProc* probe);
    DelayLoadedLibrary(const DelayLoadedLibrary&) = delete;
    DelayLoadedLibrary& operator=(const DelayLoadedLibrary&) = delete;

    bool isLoaded() const noexcept { return loaded_; }

private:
    bool loaded_ = false;
};
