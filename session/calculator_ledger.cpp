#include "session/calculator_ledger.h"

#include "transport/transfer_engine.h"

#include <algorithm>
#include <map>

namespace {

constexpr int kMaxFiles = 32; // one bit per file

std::u16string serialOf(const std::u16string &path)
{
    char16_t out[kDevicePathLength];
    return calculatorIdentity(out, kDevicePathLength, path.c_str()) >= 0 ? std::u16string(out) : path;
}

std::u16string instanceOf(const std::u16string &path)
{
    char16_t out[kDevicePathLength];
    return calculatorInstance(out, kDevicePathLength, path.c_str()) >= 0 ? std::u16string(out) : path;
}

} // namespace

void CalculatorLedger::reset(int fileCount)
{
    entries_.clear();
    fileCount_ = std::max(1, std::min(fileCount, kMaxFiles));
    unmetFailures_ = 0;
    lastGivenUpCode_ = 0;
    lastGivenUpEntry_ = -1;
    refused_ = false;
}

void CalculatorLedger::refuseRelease(std::int32_t code, std::uint64_t nowMs)
{
    refused_ = true;
    lastGivenUpCode_ = code;
    if (entries_.empty())
        unmetFailures_ = kRetries + 1;
    for (Calculator &calculator : entries_) {
        if (calculator.status != Status::GivenUp && calculator.runs > 0)
            calculator.lastSentMs = nowMs;
        calculator.takenUpAgain = true;
        calculator.lastCode = code;
        calculator.lastSystemError = 0;
        calculator.lastDetail.clear();
        settle(calculator); // given up: refused_
    }
    lastGivenUpEntry_ = -1; // the release's fault, no calculator's
}

std::u16string CalculatorLedger::identity(int entry) const
{
    const Calculator &calculator = at(entry);
    for (int other = 0; other < size(); ++other)
        if (other != entry && at(other).serial == calculator.serial)
            return calculator.instance;
    return calculator.serial;
}

void CalculatorLedger::attach(const std::vector<std::u16string> &paths, std::uint64_t nowMs, std::uint32_t settleMs)
{
    std::vector<int> entryOf = match(paths);
    std::vector<bool> wasPresent;
    for (Calculator &calculator : entries_) {
        wasPresent.push_back(calculator.present);
        calculator.present = false;
        settle(calculator);
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (entryOf[i] < 0)
            entryOf[i] = join(paths[i], nowMs);
        const std::size_t e = std::size_t(entryOf[i]);
        Calculator &calculator = entries_[e];
        calculator.instance = instanceOf(paths[i]);
        calculator.path = paths[i];
        calculator.present = true;
        if (station_ && (e >= wasPresent.size() || !wasPresent[e]))
            beginVisit(calculator, nowMs, settleMs);
        settle(calculator);
        if (!station_)
            takeUpAgain(calculator);
    }
    for (Calculator &calculator : entries_)
        if (calculator.status == Status::GivenUp && !calculator.present)
            calculator.absentSinceGivenUp = true;
}

void CalculatorLedger::settle(Calculator &calculator) const
{
    // In this order: a calculator given up while it is written (the release
    // refused) or while it is away is given up, not being written or gone.
    if (!lacking(calculator))
        calculator.status = Status::Updated;
    else if (refused_ || calculator.failures > kRetries)
        calculator.status = Status::GivenUp;
    else if (calculator.writingFile >= 0)
        calculator.status = Status::Writing;
    else if (!calculator.present)
        calculator.status = Status::Gone;
    else if (calculator.failures > 0)
        calculator.status = Status::RetryPause;
    else
        calculator.status = Status::Waiting;
}

std::vector<int> CalculatorLedger::match(const std::vector<std::u16string> &paths)
{
    std::vector<std::u16string> serials, instances;
    std::map<std::u16string, int> attachedWithSerial, knownWithSerial;
    for (const std::u16string &path : paths) {
        serials.push_back(serialOf(path));
        instances.push_back(instanceOf(path));
        ++attachedWithSerial[serials.back()];
    }
    for (const Calculator &calculator : entries_)
        ++knownWithSerial[calculator.serial];

    std::vector<bool> matched(entries_.size(), false);
    std::vector<int> entryOf(paths.size(), -1);
    // The same disk where it was: its whole instance part.
    for (std::size_t i = 0; i < paths.size(); ++i)
        for (std::size_t e = 0; e < entries_.size(); ++e)
            if (!matched[e] && entries_[e].instance == instances[i]) {
                matched[e] = true;
                entryOf[i] = int(e);
                break;
            }
    // A calculator plugged in elsewhere (on Linux, at another block device):
    // by its serial number, only while that serial is nobody else's. A unit
    // of a one-serial batch that was never attached beside its twin looks
    // just the same, so it is trusted with nothing: it is sent the whole
    // release again.
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (entryOf[i] >= 0 || attachedWithSerial[serials[i]] != 1 || knownWithSerial[serials[i]] != 1)
            continue;
        for (std::size_t e = 0; e < entries_.size(); ++e)
            if (!matched[e] && entries_[e].serial == serials[i]) {
                matched[e] = true;
                entryOf[i] = int(e);
                entries_[e].heldMask = 0;
                break;
            }
    }
    return entryOf;
}

int CalculatorLedger::join(const std::u16string &path, std::uint64_t nowMs)
{
    Calculator joined;
    joined.serial = serialOf(path);
    joined.dueMs = nowMs;
    joinAfterGivenUp(joined);
    if (refused_) {
        joined.takenUpAgain = true;
        joined.lastCode = lastGivenUpCode_;
    }
    settle(joined);
    entries_.push_back(joined);
    return int(entries_.size()) - 1;
}

void CalculatorLedger::takeUpAgain(Calculator &calculator)
{
    if (calculator.status != Status::GivenUp || !calculator.absentSinceGivenUp || calculator.takenUpAgain)
        return;
    // Back after it was given up: the user plugged it in again. Once in a
    // session, so that a loose cable cannot keep it going. Fresh retries
    // (no failure counted) take it up; its retry pause still holds (dueMs
    // stays).
    calculator.takenUpAgain = true;
    calculator.absentSinceGivenUp = false;
    calculator.failures = 0;
    settle(calculator);
}

void CalculatorLedger::beginVisit(Calculator &calculator, std::uint64_t nowMs, std::uint32_t settleMs)
{
    if (refused_)
        return; // nothing goes to anyone any more
    if (calculator.status == Status::Updated || calculator.status == Status::GivenUp) {
        // Plugged in again after its outcome: written again, whole, with
        // fresh retries (what it holds is not known: it left the bus).
        calculator.heldMask = 0;
        calculator.failures = 0;
        calculator.lastCode = 0;
        calculator.lastSystemError = 0;
        calculator.lastDetail.clear();
        calculator.runs = 0;
        calculator.firstSentMs = calculator.lastSentMs = 0;
        ++calculator.visit;
    }
    // Not yet written in this visit: it settles from now on.
    if (calculator.runs == 0 && calculator.writingFile < 0)
        calculator.dueMs = std::max(calculator.dueMs, nowMs + settleMs);
}

bool CalculatorLedger::visitUnderWay(int entry) const
{
    const Calculator &calculator = at(entry);
    return (calculator.runs > 0 || calculator.writingFile >= 0) && calculator.status != Status::Updated &&
           calculator.status != Status::GivenUp;
}

bool CalculatorLedger::mayReturn(int entry) const
{
    return at(entry).status == Status::GivenUp && !refused_ && (station_ || !at(entry).takenUpAgain);
}

void CalculatorLedger::joinAfterGivenUp(Calculator &joined)
{
    // The station takes every calculator plugged in as a visit of its own.
    if (station_)
        return;
    // A disk new to the session whose serial belongs to a given-up
    // calculator that has gone may well be that one, back at another port
    // (a one-serial batch on Linux, where the block device changes). It
    // cannot be told from a new one, so it holds nothing and is sent the
    // whole release; but it uses up that calculator's one taking up again,
    // so that a loose cable cannot keep the session going for ever. The
    // given-up one stays in the ledger: the session is never "Done" while it
    // lacks a file.
    bool gaveUpHere = false;
    for (Calculator &gone : entries_) {
        if (gone.serial != joined.serial || gone.status != Status::GivenUp || !gone.absentSinceGivenUp)
            continue;
        gaveUpHere = true;
        if (!gone.takenUpAgain) {
            gone.takenUpAgain = true;
            joined.takenUpAgain = true;
            return;
        }
    }
    if (gaveUpHere) {
        // It may be that one, whose retries are spent: it joins given up.
        joined.takenUpAgain = true;
        joined.failures = kRetries + 1;
        joined.lastCode = kNoCalculatorFound;
    }
}

int CalculatorLedger::firstMissing(int entry) const
{
    for (int file = 0; file < fileCount_; ++file)
        if ((at(entry).heldMask & (std::uint32_t(1) << file)) == 0)
            return file;
    return -1;
}

bool CalculatorLedger::holdsRelease(int entry) const
{
    return at(entry).status == Status::Updated;
}

int CalculatorLedger::heldCount(int entry) const
{
    int held = 0;
    for (int file = 0; file < fileCount_; ++file)
        held += (at(entry).heldMask >> file) & 1;
    return held;
}

std::vector<int> CalculatorLedger::dueCalculators(std::uint64_t nowMs, int limit) const
{
    std::vector<int> due;
    for (int e = 0; e < size() && int(due.size()) < limit; ++e)
        if (isDue(at(e), nowMs))
            due.push_back(e);
    return due;
}

void CalculatorLedger::startWriting(int entry, std::uint64_t nowMs)
{
    Calculator &calculator = entries_[std::size_t(entry)];
    calculator.writingFile = firstMissing(entry);
    if (calculator.runs == 0)
        calculator.firstSentMs = nowMs;
    settle(calculator);
}

int CalculatorLedger::writingCount() const
{
    return int(std::count_if(entries_.begin(), entries_.end(), [](const Calculator &c) { return c.writingFile >= 0; }));
}

CalculatorLedger::Run CalculatorLedger::nextRun(std::uint64_t nowMs, int preferFile) const
{
    std::vector<int> due(std::size_t(fileCount_), 0);
    for (int e = 0; e < size(); ++e) {
        const Calculator &calculator = at(e);
        if (isDue(calculator, nowMs))
            ++due[std::size_t(firstMissing(e))];
    }
    Run run;
    if (preferFile >= 0 && preferFile < fileCount_ && due[std::size_t(preferFile)] > 0)
        run.file = preferFile;
    for (int file = 0; file < fileCount_ && run.file < 0; ++file)
        if (due[std::size_t(file)] > 0 && due[std::size_t(file)] == *std::max_element(due.begin(), due.end()))
            run.file = file;
    if (run.file < 0)
        return run;
    for (int e = 0; e < size(); ++e) {
        const Calculator &calculator = at(e);
        if (!isDue(calculator, nowMs) || firstMissing(e) != run.file)
            continue;
        if (int(run.entries.size()) < kGroupSize) {
            run.entries.push_back(e);
            run.paths.push_back(calculator.path);
        } else {
            ++run.waiting;
        }
    }
    return run;
}

void CalculatorLedger::fail(int entry, std::int32_t code, std::uint32_t systemError, std::uint64_t nowMs,
                            Outcome &outcome, const std::u16string &detail)
{
    Calculator &calculator = entries_[std::size_t(entry)];
    calculator.lastCode = code;
    calculator.lastSystemError = systemError;
    calculator.lastDetail = detail;
    ++calculator.failures;
    // A disk too small for the release stays too small, and one with sectors
    // other than 512 bytes keeps them: no retry helps either, and none is
    // counted down.
    if (code == kDiskTooSmall || code == kSectorSizeRefused)
        calculator.failures = std::max(calculator.failures, kRetries + 1);
    calculator.dueMs = nowMs + kRetryPauseMs;
    if (outcome.result == 0) {
        outcome.result = code;
        outcome.entry = entry;
    }
    outcome.failures = std::max(outcome.failures, calculator.failures);
    if (calculator.failures > kRetries) {
        calculator.absentSinceGivenUp = !calculator.present;
        calculator.lastSentMs = nowMs;
        lastGivenUpCode_ = code;
        lastGivenUpEntry_ = entry;
    }
    settle(calculator);
}

CalculatorLedger::Outcome CalculatorLedger::recordRun(const Run &run, const std::vector<std::int32_t> &results,
                                                   std::uint64_t nowMs, const std::vector<std::uint32_t> &systemErrors,
                                                   const std::vector<std::u16string> &details)
{
    Outcome outcome;
    std::vector<bool> inRun(entries_.size(), false);
    for (std::size_t k = 0; k < run.entries.size() && k < results.size(); ++k) {
        const int e = run.entries[k];
        if (e < 0 || e >= size() || results[k] == kCalculatorLeftOut || run.file < 0 || run.file >= fileCount_)
            continue;
        inRun[std::size_t(e)] = true;
        Calculator &calculator = entries_[std::size_t(e)];
        const std::uint32_t bit = std::uint32_t(1) << run.file;
        if (calculator.runs == 0 && calculator.writingFile < 0)
            calculator.firstSentMs = nowMs;
        calculator.writingFile = -1;
        ++calculator.runs;
        calculator.lastSentMs = nowMs;
        if (results[k] == kTransferOk) {
            calculator.heldMask |= bit;
            calculator.failures = 0;
            calculator.lastCode = 0;
            calculator.lastSystemError = 0;
            calculator.lastDetail.clear();
            calculator.dueMs = nowMs;
            settle(calculator);
        } else {
            // Part of the file may have been written: it is not held.
            calculator.heldMask &= ~bit;
            fail(e, results[k], k < systemErrors.size() ? systemErrors[k] : 0, nowMs, outcome,
                 k < details.size() ? details[k] : std::u16string());
        }
    }
    // Absent at its turn: a failed attempt too, so that a calculator that
    // stays away is given up once its retries have passed.
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        const Calculator &calculator = entries_[e];
        // The station: one unplugged before its visit's first file is not taken.
        if (!inRun[e] && calculator.status == Status::Gone && calculator.dueMs <= nowMs &&
            (!station_ || calculator.runs > 0))
            fail(int(e), kNoCalculatorFound, 0, nowMs, outcome);
    }
    if (entries_.empty() && !station_) {
        ++unmetFailures_;
        outcome.result = kNoCalculatorFound;
        outcome.failures = unmetFailures_;
        if (unmetFailures_ > kRetries)
            lastGivenUpCode_ = kNoCalculatorFound;
    }
    return outcome;
}

bool CalculatorLedger::allUpdated() const
{
    return !entries_.empty() && std::all_of(entries_.begin(), entries_.end(),
                                            [](const Calculator &c) { return c.status == Status::Updated; });
}

bool CalculatorLedger::allLackingGivenUp() const
{
    if (entries_.empty())
        return unmetFailures_ > kRetries;
    bool anyGivenUp = false;
    for (const Calculator &calculator : entries_) {
        if (calculator.status != Status::Updated && calculator.status != Status::GivenUp)
            return false;
        anyGivenUp = anyGivenUp || calculator.status == Status::GivenUp;
    }
    return anyGivenUp;
}

std::uint64_t CalculatorLedger::nextDueMs() const
{
    std::uint64_t earliest = 0;
    for (const Calculator &calculator : entries_)
        if ((calculator.status == Status::Waiting || calculator.status == Status::RetryPause ||
             (calculator.status == Status::Gone && (!station_ || calculator.runs > 0))) &&
            (earliest == 0 || calculator.dueMs < earliest))
            earliest = std::max<std::uint64_t>(calculator.dueMs, 1);
    return earliest;
}

std::vector<CalculatorLedger::Missing> CalculatorLedger::notUpdated() const
{
    std::vector<Missing> result;
    for (int e = 0; e < size(); ++e)
        if (at(e).status != Status::Updated)
            result.push_back({identity(e), fileCount_ - heldCount(e)});
    return result;
}
