#pragma once

#include "hoster-api/DelayLoadedLibrary.h"

#include "logging/Log.h"

#include <utility>

// Abstract base of an API object served by a lazily loaded library: it owns the library's
// load attempt, made with the probe export given at construction.
class GenericApiBase {
public:
    explicit GenericApiBase(DelayImportProc* probe) : library_(probe) {}
    virtual ~GenericApiBase() = default;
    GenericApiBase(const GenericApiBase&) = delete;
    GenericApiBase& operator=(const GenericApiBase&) = delete;

    // True when the library is loaded and the API initialised; the API's operations ask
    // this first and report "not available" otherwise.
    virtual bool isAvailable() const = 0;

    bool isLibraryLoaded() const noexcept { return library_.isLoaded(); }

private:
    DelayLoadedLibrary library_;
};

// The function names under which GenericApi<Api> logs; specialised next to each Api.
template <class Api>
struct GenericApiTraits;

// An API object (Api derives from GenericApiBase and has bool init() and void uninit())
// that, once its library is loaded, runs the API's initialisation and remembers whether it
// succeeded. Construction and destruction log their steps at Info.
template <class Api>
class GenericApi : public Api {
public:
    template <class... Args>
    explicit GenericApi(Args&&... args) : Api(std::forward<Args>(args)...) {
        constexpr const char* function = GenericApiTraits<Api>::constructorName;
        if (!this->isLibraryLoaded()) {
            KvZarnLogging::log(KvZarnLogging::Info, function, L"API library not loaded.");
            return;
        }
        KvZarnLogging::log(KvZarnLogging::Info, function, L"API library is loaded. Initializing the API...");
        initialized_ = this->init();
        KvZarnLogging::log(KvZarnLogging::Info, function,
                           initialized_ ? L"API is initialized successfully."
                                        : L"Failure to initialize the API.");
    }

    ~GenericApi() override {
        constexpr const char* function = GenericApiTraits<Api>::destructorName;
        if (initialized_) {
            KvZarnLogging::log(KvZarnLogging::Info, function, L"Uninitializing the API...");
            this->uninit();
            KvZarnLogging::log(KvZarnLogging::Info, function, L"API is uninitialized.");
        } else {
            KvZarnLogging::log(KvZarnLogging::Info, function,
                               L"API was not initialized. Skipping uninitialization.");
        }
    }

    bool isAvailable() const override { return initialized_; }

private:
    bool initialized_ = false;
};
