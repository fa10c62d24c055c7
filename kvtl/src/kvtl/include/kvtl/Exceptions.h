#pragma once

#include <windows.h>
#include <oaidl.h>

#include <exception>
#include <memory>
#include <ostream>
#include <string>

// Wide __FILE__: with the build's macro prefix map this is the source file's
// path relative to the repository, for example L"install-common/Task20.cpp".
#define KV_WIDEN_(text) L##text
#define KV_WIDEN(text) KV_WIDEN_(text)
#define KV_WFILE KV_WIDEN(__FILE__)

namespace kv {

// A failed COM call: its HRESULT, an optional error-information object and the
// system's message for the HRESULT, formatted on first request. Behaves like the
// COM support library's _com_error, which MinGW lacks the implementation of.
class ComError {
public:
    explicit ComError(HRESULT hr, IErrorInfo* errorInfo = nullptr, bool addRef = false) noexcept;
    ComError(const ComError& other) noexcept;
    ComError& operator=(const ComError& other) noexcept;
    ~ComError();

    HRESULT Error() const noexcept { return hr_; }
    // The error-information object with one more reference, or null.
    IErrorInfo* ErrorInfo() const noexcept;
    // The system message without its final line break; "IDispatch error #n" or
    // "Unknown error 0x..." when the system has none; null if out of memory.
    const wchar_t* ErrorMessage() const noexcept;
    // The error-information object's source text; empty without one.
    std::wstring Source() const;

private:
    HRESULT hr_;
    IErrorInfo* errorInfo_;
    mutable wchar_t* message_ = nullptr; // LocalAlloc'ed
};

// Root of the program's exceptions: reason, throwing function, source file and
// line, and a one-line description (wwhat(), and what() in the ANSI code page),
// each built on first request and kept. Copies share the texts and build their
// own descriptions.
class BaseException : public std::exception {
public:
    BaseException(const wchar_t* reason, const wchar_t* function, const wchar_t* file, unsigned int line);
    BaseException(const BaseException& other);
    BaseException& operator=(const BaseException&) = delete;
    ~BaseException() override = default;

    const char* what() const noexcept override;
    virtual const wchar_t* wwhat() const noexcept;

    const std::wstring& reason() const noexcept;
    const std::wstring& function() const noexcept;
    const std::wstring& file() const noexcept;
    unsigned int line() const noexcept { return line_; }

protected:
    virtual void describe(std::wostream& out) const;
    // Writes the fields shared by every description, starting with ", Reason: ".
    void describeCommon(std::wostream& out) const;
    static std::shared_ptr<const std::wstring> share(const wchar_t* text) noexcept;
    static std::shared_ptr<const std::wstring> share(std::wstring text) noexcept;
    void setReason(std::shared_ptr<const std::wstring> reason) noexcept { reason_ = std::move(reason); }

private:
    std::shared_ptr<const std::wstring> reason_;
    std::shared_ptr<const std::wstring> function_;
    std::shared_ptr<const std::wstring> file_;
    unsigned int line_;
    mutable std::shared_ptr<const std::wstring> wideDescription_;
    mutable std::shared_ptr<const std::string> narrowDescription_;
};

// A failed COM call (the program's throw sites pass an empty reason).
class ComException : public BaseException {
public:
    ComException(const ComError& error, const wchar_t* reason, const wchar_t* function, const wchar_t* file,
                 unsigned int line);
    ComException(const ComException& other);

    const ComError& comError() const noexcept { return error_; }

protected:
    void describe(std::wostream& out) const override;

private:
    ComError error_;
};

// Message lookup and type label of Win32 error codes.
struct Win32ErrorCategory {
    static const wchar_t* label() noexcept { return L"Win32Exception"; }
    // The system's message for the code with its final line break kept; empty
    // when the system has none. Insert sequences such as %1 are left as they are.
    static std::wstring systemMessage(unsigned long code);
};

// An exception carrying an error code of a category; an empty reason is replaced
// by the category's message for the code.
template <class Category, class Code>
class ErrorCodeException : public BaseException {
public:
    ErrorCodeException(const Code& code, const wchar_t* reason, const wchar_t* function, const wchar_t* file,
                       unsigned int line)
        : BaseException(reason, function, file, line), code_(code) {
        if (reason == nullptr || *reason == L'\0') {
            setReason(share(Category::systemMessage(code)));
        }
    }
    ErrorCodeException(const ErrorCodeException& other) = default;

    const Code& errorCode() const noexcept { return code_; }

protected:
    void describe(std::wostream& out) const override {
        out << L"Type: " << Category::label();
        describeCommon(out);
        out << L", Error Code : " << code_;
    }

private:
    Code code_;
};

using Win32Exception = ErrorCodeException<Win32ErrorCategory, unsigned long>;

} // namespace kv
