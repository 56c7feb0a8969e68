#include "session/calculator_ledger.h"

#include <algorithm>

namespace {

constexpr int kMaxFiles = 32; // one bit per file

} // namespace

void CalculatorLedger::reset(int fileCount)
{
    entries_.clear();
    fileCount_ = std::max(0, std::min(fileCount, kMaxFiles));
}

const CalculatorLedger::Entry *CalculatorLedger::find(const std::u16string &identity) const
{
    for (const Entry &entry : entries_)
        if (entry.identity == identity)
            return &entry;
    return nullptr;
}

CalculatorLedger::Entry &CalculatorLedger::join(const std::u16string &identity)
{
    for (Entry &entry : entries_)
        if (entry.identity == identity)
            return entry;
    entries_.push_back({identity, 0});
    return entries_.back();
}

bool CalculatorLedger::wants(const std::u16string &identity, int file) const
{
    if (fileCount_ == 0)
        return true;
    if (file < 0 || file >= fileCount_)
        return false;
    const Entry *entry = find(identity);
    const std::uint32_t held = entry != nullptr ? entry->held : 0;
    return (held & allBefore(file)) == allBefore(file) && (held & (std::uint32_t(1) << file)) == 0;
}

std::int32_t CalculatorLedger::record(int file, std::int32_t runResult, const TransferReport &report)
{
    if (fileCount_ == 0)
        return runResult;
    if (file < 0 || file >= fileCount_)
        return runResult != kTransferOk ? runResult : kNoCalculatorFound;
    const std::uint32_t bit = std::uint32_t(1) << file;
    const int count = std::max(0, std::min<int>(report.count, kMaxDevices));
    // Every calculator found joins; a failure wins over a success of the same
    // identity (two disks that carry one serial number).
    for (int i = 0; i < count; ++i)
        join(report.calculators[i].identity);
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < count; ++i) {
            const CalculatorResult &found = report.calculators[i];
            const bool succeeded = found.result == kTransferOk;
            if (found.result == kCalculatorLeftOut || succeeded != (pass == 0))
                continue;
            Entry &entry = join(found.identity);
            entry.held = succeeded ? entry.held | bit : entry.held & ~bit;
        }
    }

    for (const Entry &entry : entries_) {
        const bool shouldHold = (entry.held & allBefore(file)) == allBefore(file);
        if (shouldHold && (entry.held & bit) == 0)
            return runResult != kTransferOk ? runResult : kNoCalculatorFound;
    }
    return entries_.empty() ? (runResult != kTransferOk ? runResult : kNoCalculatorFound) : kTransferOk;
}

int CalculatorLedger::firstMissing() const
{
    for (int file = 0; file < fileCount_; ++file)
        for (const Entry &entry : entries_)
            if ((entry.held & (std::uint32_t(1) << file)) == 0)
                return file;
    return -1;
}

std::vector<CalculatorLedger::Missing> CalculatorLedger::notUpdated() const
{
    std::vector<Missing> result;
    for (const Entry &entry : entries_) {
        int missing = 0;
        for (int file = 0; file < fileCount_; ++file)
            missing += (entry.held & (std::uint32_t(1) << file)) == 0;
        if (missing > 0)
            result.push_back({entry.identity, missing});
    }
    return result;
}
