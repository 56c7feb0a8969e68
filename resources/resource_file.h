// String-resource files, one per language: opening and validating a file,
// the process-wide tables of opened files and of file keys that failed, and
// the reader through which every byte of a file is read. The file's layout is
// in resource_format.h. Plain C++: the reader that goes through Qt's search
// path lives in localized_text.h and is installed by the Qt half.
#pragma once

#include "resources/block_decoder.h"
#include "resources/resource_format.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Reads bytes [from, to) of the named file into a new buffer (*out, freed by
// the caller with freeResourceBytes, also when the count falls short); the
// count read, 0 (and *out null) when the file is missing or from >= its end.
using ResourceReader = std::int64_t (*)(const char16_t *name, std::uint8_t **out, std::int64_t from,
                                        std::int64_t to);
void freeResourceBytes(std::uint8_t *buffer);

// Owns a buffer that a reader allocated and frees it on every path out.
struct ReaderBytesDeleter {
    void operator()(std::uint8_t *buffer) const { freeResourceBytes(buffer); }
};
using ReaderBytes = std::unique_ptr<std::uint8_t[], ReaderBytesDeleter>;

// The reader openResourceFile uses (none installed: no file is ever found).
void setResourceReader(ResourceReader reader);
ResourceReader resourceReader();

struct ResourceFile {
    std::u16string name;                  // as opened, at most 259 units
    ResourceReader reader;                // every later read of this file goes through it
    std::uint8_t header[kMaxHeaderLength]; // widened to 332 bytes, chain fixed up
    CompiledCodeTree codeTree;            // compiled from the bytes read, once; meaningful when hasCodeTree
    bool hasCodeTree = false;
    std::vector<std::uint8_t> blockIndex; // block count x 12 bytes; meaningful when hasBlockIndex
    bool hasBlockIndex = false;

    std::uint32_t headerWord(std::uint32_t at) const; // little-endian u32 of the header
    std::uint32_t chain(int position) const;          // language chain entry 0 to kChainLength - 1
};

// The file name of a language index ("HelpDe.xqresource"), empty for an
// index without a code.
std::u16string resourceFileName(std::uint32_t language);

// Reads and validates a file's header; a new record (caller owns), or nullptr.
ResourceFile *loadResourceFile(const char16_t *name, ResourceReader reader);

// The file for a language key (with kPreferredBit when `preferred`), from the
// open-file table, or opened now; nullptr when it failed (now or before).
ResourceFile *openResourceFile(std::uint32_t language, bool preferred);

// Empties both tables (tests and fuzzers start each case afresh).
void resetResourceFiles();
// The failed-key table, oldest first (tests).
const std::vector<std::uint32_t> &failedResourceKeys();
