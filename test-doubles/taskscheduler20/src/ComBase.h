#pragma once

#include "com-support/ComObject.h"

namespace kv::ts20 {

using kv::doubles::Dispatch;
using kv::doubles::giveBstr;
using kv::doubles::giveObject;
using kv::doubles::giveValue;
using kv::doubles::textOf;

inline HRESULT giveBool(bool value, VARIANT_BOOL* out) {
    return giveValue<VARIANT_BOOL>(value ? VARIANT_TRUE : VARIANT_FALSE, out);
}

} // namespace kv::ts20
