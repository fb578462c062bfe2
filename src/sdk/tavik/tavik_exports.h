// The two entry points of the device-identity SDK, as its callers declare
// them. The SDK is a shared library loaded at run time, so only the shapes
// are shared, never a link.
#pragma once

#include <cstddef>

namespace tavik {

// Size of the identity record `b` fills; it starts with the device
// identifier as NUL-terminated text.
inline constexpr std::size_t kIdentityRecordSize = 70;

extern "C" {
// Initialises the SDK for an application key. `params_json` is a JSON object
// of string values or empty. 0 on success.
using A1Fn = int(const char* app_key, int reserved, const char* channel, const char* params_json,
                 const char* extra, bool full);
// Fills `record` (of `size` bytes) with the identity record. 0 on success.
using BFn = int(const char* app_key, char* record, int size);
}

}  // namespace tavik
