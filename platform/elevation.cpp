#include "platform/elevation.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<Elevation *> gInstalled{nullptr};
} // namespace

Elevation &activeElevation()
{
    Elevation *installed = gInstalled.load(std::memory_order_acquire);
    return installed ? *installed : osElevation();
}

void installElevation(Elevation *elevation)
{
    gInstalled.store(elevation, std::memory_order_release);
}

std::u16string windowsCommandLine(const std::vector<std::u16string> &arguments)
{
    std::u16string line;
    for (const std::u16string &argument : arguments) {
        if (!line.empty())
            line += u' ';
        if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
            line += argument;
            continue;
        }
        line += u'"';
        std::size_t backslashes = 0; // in a row, just before the unit at hand
        for (const char16_t unit : argument) {
            if (unit == u'\\') {
                ++backslashes;
                continue;
            }
            // Backslashes before a quote are doubled, and the quote gets one
            // more; anywhere else they stand for themselves.
            line.append(unit == u'"' ? 2 * backslashes + 1 : backslashes, u'\\');
            backslashes = 0;
            line += unit;
        }
        line.append(2 * backslashes, u'\\'); // before the closing quote
        line += u'"';
    }
    return line;
}

} // namespace platform
