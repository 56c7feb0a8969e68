// The Qt side of the string resources: the reader that finds files through
// Qt's "resource" search path, and localizedText, the form every text of the
// user interface takes.
#pragma once

#include "resources/resource_file.h"

#include <QString>

#include <cstdint>

// Reads bytes [from, to) of "resource:" + name (the "resource" search path).
std::int64_t readResourceBytes(const char16_t *name, std::uint8_t **out, std::int64_t from, std::int64_t to);

// lookupString copied into a QString; empty when nothing was found. Installs
// readResourceBytes as the reader on first use when no other reader is set.
QString localizedText(std::uint32_t identifier, std::uint32_t language = 0);
