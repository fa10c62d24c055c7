#pragma once

#include "Model.h"

#include <memory>

namespace kv::ts20 {

// A new ITaskDefinition (one reference) editing `data`; its parts (registration
// information, principal, settings, actions, triggers) are views of the same data.
ITaskDefinition* newDefinition(std::shared_ptr<TaskData> data);

// A copy of what a definition holds: read directly from the double's own definitions,
// through get_XmlText from any other.
HRESULT snapshotOf(ITaskDefinition* definition, TaskData& data);

// Reads a collection index: a number (1-based) into `number`, or a text into `name`.
HRESULT readIndex(const VARIANT& index, long& number, std::wstring& name);

} // namespace kv::ts20
