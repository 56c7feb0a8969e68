// The session's ledger: every calculator the session has met in a transfer,
// by its stable identity, and which files of the release each one holds
// completely. It decides what a transfer's result means for the session (a
// file is done only when every calculator that should have it holds it), which
// calculators a transfer is sent to, and which file goes next, so that a
// calculator that was unplugged and came back, or one that appeared late, gets
// every file, in the release's order, before the session can end.
#pragma once

#include "transport/transfer_engine.h"

#include <cstdint>
#include <string>
#include <vector>

class CalculatorLedger {
public:
    // A calculator that lacks files, and how many of them.
    struct Missing {
        std::u16string identity;
        int missing;
    };

    // A new release of `fileCount` files (at most 32): the ledger is empty.
    // Before any release (a count of 0) it keeps nothing: every calculator is
    // sent every file, and a run's result is its own.
    void reset(int fileCount);
    int fileCount() const { return fileCount_; }

    // Whether the calculator is sent `file`: it holds every earlier file of the
    // release and lacks this one. A calculator new to the session holds nothing.
    bool wants(const std::u16string &identity, int file) const;

    // Records a transfer of `file`: every calculator of the report joins the
    // ledger; one whose own result is 0 holds the file, one that failed does
    // not hold it any more (part of it may have been written); one left out is
    // unchanged. Returns the transfer's result for the session: 0 when every
    // calculator that holds all earlier files now holds this one too; else the
    // run's own failure, or 104 (no calculator found) when the run had none,
    // as when such a calculator was absent.
    std::int32_t record(int file, std::int32_t runResult, const TransferReport &report);

    // The first file, in the release's order, that some calculator lacks; -1
    // when every calculator holds every file.
    int firstMissing() const;

    // The calculators that do not hold every file, in the order they joined.
    std::vector<Missing> notUpdated() const;

    // How many calculators the session has met.
    int size() const { return int(entries_.size()); }

private:
    struct Entry {
        std::u16string identity;
        std::uint32_t held = 0; // bit f: holds file f completely
    };
    const Entry *find(const std::u16string &identity) const;
    Entry &join(const std::u16string &identity); // the entry, added when new
    std::uint32_t allBefore(int file) const { return (std::uint32_t(1) << file) - 1; }

    std::vector<Entry> entries_;
    int fileCount_ = 0;
};
