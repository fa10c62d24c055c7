#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include <cwchar>
#include <sstream>

namespace kv {

namespace {

const std::wstring& textOf(const std::shared_ptr<const std::wstring>& text) noexcept {
    static const std::wstring empty;
    return text ? *text : empty;
}

// HRESULTs of the dispatch range FACILITY_ITF 0x200..0xFFFF carry a "wCode".
WORD dispatchCode(HRESULT hr) noexcept {
    const auto value = static_cast<unsigned long>(hr);
    return value >= 0x80040200UL && value < 0x80050000UL ? static_cast<WORD>(value - 0x80040200UL) : 0;
}

} // namespace

ComError::ComError(HRESULT hr, IErrorInfo* errorInfo, bool addRef) noexcept : hr_(hr), errorInfo_(errorInfo) {
    if (errorInfo_ != nullptr && addRef) {
        errorInfo_->AddRef();
    }
}

ComError::ComError(const ComError& other) noexcept : hr_(other.hr_), errorInfo_(other.errorInfo_) {
    if (errorInfo_ != nullptr) {
        errorInfo_->AddRef();
    }
}

ComError& ComError::operator=(const ComError& other) noexcept {
    if (this != &other) {
        ComError copy(other);
        std::swap(hr_, copy.hr_);
        std::swap(errorInfo_, copy.errorInfo_);
        std::swap(message_, copy.message_);
    }
    return *this;
}

ComError::~ComError() {
    if (errorInfo_ != nullptr) {
        errorInfo_->Release();
    }
    if (message_ != nullptr) {
        ::LocalFree(message_);
    }
}

IErrorInfo* ComError::ErrorInfo() const noexcept {
    if (errorInfo_ != nullptr) {
        errorInfo_->AddRef();
    }
    return errorInfo_;
}

const wchar_t* ComError::ErrorMessage() const noexcept {
    if (message_ != nullptr) {
        return message_;
    }
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    ::FormatMessageW(flags, nullptr, static_cast<DWORD>(hr_), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPWSTR>(&message_), 0, nullptr);
    if (message_ != nullptr) {
        size_t length = std::wcslen(message_);
        if (length > 0 && message_[length - 1] == L'\n') {
            message_[--length] = L'\0';
            if (length > 0 && message_[length - 1] == L'\r') {
                message_[--length] = L'\0';
            }
        }
        return message_;
    }
    constexpr size_t capacity = 32;
    message_ = static_cast<wchar_t*>(::LocalAlloc(LMEM_FIXED, capacity * sizeof(wchar_t)));
    if (message_ != nullptr) {
        // Both texts fit the buffer, so neither call can fail.
        if (const WORD code = dispatchCode(hr_); code != 0) {
            (void)std::swprintf(message_, capacity, L"IDispatch error #%d", static_cast<int>(code));
        } else {
            (void)std::swprintf(message_, capacity, L"Unknown error 0x%0lX", static_cast<unsigned long>(hr_));
        }
    }
    return message_;
}

std::wstring ComError::Source() const {
    std::wstring source;
    BSTR text = nullptr;
    if (errorInfo_ != nullptr && SUCCEEDED(errorInfo_->GetSource(&text)) && text != nullptr) {
        source.assign(text, ::SysStringLen(text));
    }
    ::SysFreeString(text);
    return source;
}

BaseException::BaseException(const wchar_t* reason, const wchar_t* function, const wchar_t* file,
                             unsigned int line)
    : reason_(share(reason)), function_(share(function)), file_(share(file)), line_(line) {}

BaseException::BaseException(const BaseException& other)
    : std::exception(other), reason_(other.reason_), function_(other.function_), file_(other.file_),
      line_(other.line_) {}

std::shared_ptr<const std::wstring> BaseException::share(const wchar_t* text) noexcept {
    return share(std::wstring(text != nullptr ? text : L""));
}

std::shared_ptr<const std::wstring> BaseException::share(std::wstring text) noexcept {
    try {
        return std::make_shared<const std::wstring>(std::move(text));
    } catch (...) {
        return nullptr; // an absent field reads as empty
    }
}

const std::wstring& BaseException::reason() const noexcept {
    return textOf(reason_);
}
const std::wstring& BaseException::function() const noexcept {
    return textOf(function_);
}
const std::wstring& BaseException::file() const noexcept {
    return textOf(file_);
}

const wchar_t* BaseException::wwhat() const noexcept {
    if (!wideDescription_) {
        try {
            std::wostringstream out;
            describe(out);
            wideDescription_ = std::make_shared<const std::wstring>(out.str());
        } catch (...) {
            return L"";
        }
    }
    return wideDescription_->c_str();
}

const char* BaseException::what() const noexcept {
    if (!narrowDescription_) {
        try {
            narrowDescription_ = std::make_shared<const std::string>(str::toMultibyte(wwhat(), CP_ACP));
        } catch (...) {
            return "";
        }
    }
    return narrowDescription_->c_str();
}

void BaseException::describeCommon(std::wostream& out) const {
    out << L", Reason: " << reason() << L", Function: " << function() << L", File: " << file() << L", Line: "
        << line_;
}

void BaseException::describe(std::wostream& out) const {
    out << L"Type: kv::BaseException";
    describeCommon(out);
}

ComException::ComException(const ComError& error, const wchar_t* reason, const wchar_t* function,
                           const wchar_t* file, unsigned int line)
    : BaseException(reason, function, file, line), error_(error) {}

ComException::ComException(const ComException& other) : BaseException(other), error_(other.error_) {}

void ComException::describe(std::wostream& out) const {
    const wchar_t* message = error_.ErrorMessage();
    out << L"Type: kv::ComException";
    describeCommon(out);
    out << L", COM Error: " << (message != nullptr ? message : L"") << L", HRESULT: "
        << static_cast<long>(error_.Error()) << L", COM Source: " << error_.Source();
}

std::wstring Win32ErrorCategory::systemMessage(unsigned long code) {
    // Inserts are ignored so that a message with %1 never reads an argument list.
    wchar_t* buffer = nullptr;
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length = ::FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                          reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring message;
    if (length != 0 && buffer != nullptr) {
        message.assign(buffer, length);
    }
    if (buffer != nullptr) {
        ::LocalFree(buffer);
    }
    return message;
}

} // namespace kv
