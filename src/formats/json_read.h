#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "formats/result_json.h"

// Reading the JSON that orvanctl is given: plans, --from files, backups.
namespace formats {

// A plan (or a --from file) larger than this is refused before it is parsed.
inline constexpr std::size_t kMostPlanBytes = std::size_t(16) << 20;

// Deeper nesting than any file orvanctl reads needs is refused.
inline constexpr std::size_t kMostJsonDepth = 64;

// Strict JSON: a number beyond a double, a key twice in one object, nesting deeper than
// kMostJsonDepth or more than 65,536 values (in a file, or in one element of an
// array read by ParseJsonArray) is refused, and so is the rest of the text
// once a stop is requested (Ctrl+C). Throws base::Error starting with `where`.
Json ParseJson(std::string_view text, std::string_view where);

// The same for a file that should be an array, read one element at a time: `each` gets every
// element of the top array once it is whole, and nothing of it is kept. False when the text
// is not an array (then `each` was never called).
bool ParseJsonArray(std::string_view text, std::string_view where,
                    const std::function<void(Json&&)>& each);

}  // namespace formats
