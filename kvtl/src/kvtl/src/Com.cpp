#include "kvtl/Com.h"
#include "kvtl/Exceptions.h"

namespace kv {

namespace {

BSTR allocate(const std::wstring& text, const wchar_t* function) {
    BSTR result = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (result == nullptr) {
        throw ComException(ComError(E_OUTOFMEMORY), L"", function, KV_WFILE, __LINE__);
    }
    return result;
}

} // namespace

Bstr::Bstr(const std::wstring& text) : text_(allocate(text, L"kv::Bstr::Bstr")) {}

Variant Variant::bstr(const std::wstring& text) {
    Variant result;
    result.value_.bstrVal = allocate(text, L"kv::Variant::bstr");
    result.value_.vt = VT_BSTR;
    return result;
}

Variant Variant::i4(long value) {
    Variant result;
    result.value_.vt = VT_I4;
    result.value_.lVal = value;
    return result;
}

Variant Variant::null() {
    Variant result;
    result.value_.vt = VT_NULL;
    return result;
}

} // namespace kv
