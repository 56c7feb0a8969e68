// Fetching a text by its identifier through the current language's file, its
// language chain and a cache of up to kBlockCacheLimit decoded blocks. A block
// decoded into a full cache takes the front place, and the block that held it
// is dropped (not the oldest one).
#pragma once

#include "resources/resource_format.h" // kStringsPerBlock and the identifier's two parts

#include <cstddef>
#include <cstdint>

constexpr std::size_t kBlockCacheLimit = 10;

// The text, or nullptr when none was found; an empty text only for the
// identifier 0. Language 0 is the current language. The pointer is valid
// until the next lookup; callers copy it at once. GUI thread only.
const char16_t *lookupString(std::uint32_t identifier, std::uint32_t language);

// Empties the block cache (tests and fuzzers).
void resetBlockCache();
// How many decoded blocks the cache holds (tests).
std::size_t blockCacheSize();
