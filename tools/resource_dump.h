// Reading every string of a string-resource file straight from its bytes,
// block by block through the project's block decoder, without the lookup's
// tables and cache. Plain C++, no Qt.
#pragma once

#include "tools/resource_writer.h"

#include <cstdint>
#include <string>
#include <vector>

// The non-empty strings of `file` in ascending identifier order (an empty
// string is "no text" to the updater, so it is not listed). Strict where the
// lookup is lenient: a header, block index, code tree or block that does not
// lie inside the file, or a code tree that points outside itself, fails with a
// one-line *error. Of two index records for one block the later one counts.
bool readResourceStrings(const std::vector<std::uint8_t> &file, std::vector<ResourceText> *texts,
                         std::string *error);

// Whether `tree` is a well-formed code tree: every node a walk from the root
// can reach lies wholly inside its bytes. *error says where it is not.
bool checkCodeTree(const std::uint8_t *tree, std::uint32_t length, std::string *error);
