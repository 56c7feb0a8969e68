// The session's ledger: every calculator the session has met, one entry per
// attached disk, and for each one which files of the release it holds
// completely, how often its next file has failed, when it may be sent that
// file again, and where it stands (Status: waiting, being written, in its
// retry pause, updated, given up, gone). Each calculator goes its own
// way through the release: one that fails waits for its own retry while the
// others go on to their next files, and the session is over only when every
// calculator holds the release or every one that lacks a file has been
// given up.
//
// A calculator is known by its serial number, so that one unplugged and
// plugged in again (elsewhere) keeps its entry; but what it held is not
// trusted then (see attach()): it is sent the whole release again. Disks of one batch may
// all carry one serial number: then each is known by its serial and where it
// is attached (the instance part of its device path), and one of them that
// comes back elsewhere is taken for a new calculator, never for another's
// entry, so that no calculator is counted as holding what another received.
//
// The cart station (setStation) serves one calculator after another, each
// plugged in, written and unplugged: every time a calculator is attached
// after its outcome (updated or given up) begins a visit of its own, with
// the whole release to write and fresh retries; its entry, and so its
// identity, stays. A calculator is taken once it has been attached for the
// settling time; nobody attached is no failure, and one that leaves before
// its first file of a visit is simply not taken.
#pragma once

#include "session/session_rules.h"

#include <cstdint>
#include <string>
#include <vector>

class CalculatorLedger {
public:
    // Where a calculator stands, one value at a time. settle() alone sets it,
    // from the facts below, after every change of them; every question about
    // a calculator (due? updated? given up? gone?) is asked of it.
    enum class Status : std::int32_t {
        Waiting,    // attached, lacks a file, not being written, its last attempt did not fail; due from dueMs on
        Writing,    // a file is being written to it (startWriting() .. recordRun())
        RetryPause, // attached, lacks a file; its last attempt failed: the next is a retry, from dueMs on
        Updated,    // holds every file of the release
        GivenUp,    // nothing more goes to it in this session (a refused release included)
        Gone,       // lacks a file and was not attached at the last discovery
    };

    // The status, and beside it the facts it is settled from. Each of these
    // stays a fact because the status cannot carry it:
    // - present: an Updated or GivenUp calculator is attached or not (the
    //   log's lost and back lines, a given-up one that returns), and so is
    //   one being written (its write is let go once it has been away a while);
    // - failures: the count the retries are spent against; past kRetries
    //   the calculator is given up (settle() reads it so);
    // - writingFile: the file, not only that one is being written (its first
    //   missing file moves when a calculator back elsewhere is trusted with
    //   nothing), and a write already under way when the release is refused
    //   still ends in recordRun() while the calculator is GivenUp;
    // - absentSinceGivenUp, takenUpAgain: what becomes of a given-up
    //   calculator when it is attached again, which its status cannot tell.
    struct Calculator {
        std::u16string serial;     // calculatorIdentity() of its device path
        std::u16string instance;   // calculatorInstance() of its last device path
        std::u16string path;       // its last device path
        Status status = Status::Waiting; // settle() sets it, nothing else
        std::uint32_t heldMask = 0; // bit f: holds file f completely
        int failures = 0;          // failed attempts of the first file it lacks; past kRetries: given up
        std::uint64_t dueMs = 0;   // that file may go to it from then on
        bool present = false;      // attached at the last discovery
        bool absentSinceGivenUp = false; // not attached at a discovery since it was given up: taken up again when back
        bool takenUpAgain = false; // it was taken up again (or may never be): never a second time in this session
        std::int32_t lastCode = 0; // its last result: 0, a result code, or 104 when absent at its turn
        std::uint32_t lastSystemError = 0; // the system's error behind lastCode (0: none given)
        std::u16string lastDetail; // what lastCode is about beyond the code: kVolumeMounted: the drive
                                   // Windows mounted on it (its letter, or its volume path); else empty
        int runs = 0;              // runs recorded for it in this visit, whatever their result
        int visit = 1;             // the station: its visits so far, this one included (else 1)
        int writingFile = -1;      // the file being written to it now (-1: none); startWriting() to recordRun()
        std::uint64_t firstSentMs = 0; // the start of its first run
        std::uint64_t lastSentMs = 0;  // the end of its last run, or the moment it was given up
    };

    // The calculators the next transfer goes to: all lack `file` and hold
    // every earlier one; at most `kGroupSize` of them. `waiting` counts the
    // others that are due for the same file and left for a later group.
    struct Run {
        int file = -1;              // -1: nobody is due
        std::vector<int> entries;   // into the ledger, in the order met
        std::vector<std::u16string> paths; // their device paths, the same order
        int waiting = 0;
    };

    // What a pass meant: its first failure code (0 when nothing failed) and
    // the highest failure count among the calculators that failed in it.
    struct Outcome {
        std::int32_t result = 0;
        int failures = 0;
        int entry = -1;                // the calculator of that first failure; -1: none
    };

    // A calculator that lacks files, and how many of them.
    struct Missing {
        std::u16string identity;
        int lackingFiles;
    };

    static constexpr int kGroupSize = 16;  // the transfer engine's device table
    static constexpr int kRetries = session_rules::kRetries; // further attempts of a file after its first failure
    static constexpr std::uint32_t kRetryPauseMs = session_rules::kRetryPauseMs; // from a failure to the next attempt

    // A new release of `fileCount` files (1 to 32): the ledger is empty.
    // Whether it is a station stays.
    void reset(int fileCount);
    // The station from now on (see above), or the session (false).
    void setStation(bool station) { station_ = station; }
    bool isStation() const { return station_; }
    int fileCount() const { return fileCount_; }
    int size() const { return int(entries_.size()); }
    const Calculator &at(int entry) const { return entries_[std::size_t(entry)]; }

    // What the window and the report call it: its serial number, or its
    // whole instance part when another calculator of the session has the
    // same serial number.
    std::u16string identity(int entry) const;

    // A discovery: the device paths of the calculators attached now. Each is
    // matched with its entry (new ones join, in the order given); every
    // entry not matched is absent. A given-up calculator that was absent and
    // is attached again is taken up anew, with fresh retries, once in a
    // session. The station: one attached after its outcome begins a new
    // visit; one that has not had a file of its visit is due `settleMs`
    // after it was attached (again).
    void attach(const std::vector<std::u16string> &paths, std::uint64_t nowMs, std::uint32_t settleMs = 0);
    // Its visit has begun (a file has gone, or is going, to it) and has no
    // outcome yet: it is being written, between files, or retrying.
    bool visitUnderWay(int entry) const;
    // A given-up calculator that is taken up again once it is attached again
    // (unplugged and plugged in): the session's one taking up again is not
    // spent, or it is the station.
    bool mayReturn(int entry) const;

    // The next transfer, at `nowMs`: the calculators attached, not given up,
    // due, and lacking a file; the file is `preferFile` while some are due for
    // it (the later groups of a file go on), else the file most of them need
    // (the earliest on a tie). Nobody: file -1.
    Run nextRun(std::uint64_t nowMs, int preferFile = -1) const;

    // The calculators that may start a file now, in the order met, at most
    // `limit`: attached, not given up, lacking a file, due, and not being
    // written.
    std::vector<int> dueCalculators(std::uint64_t nowMs, int limit) const;
    // Its first missing file goes out to it from now on: it is being written
    // until recordRun() takes the result of a run that holds it.
    void startWriting(int entry, std::uint64_t nowMs);
    // Calculators with a write under way (one given up by a refused release
    // while it was written included).
    int writingCount() const;

    // Records a pass: `results` has the own result of each calculator of
    // `run` (0, a result code, or kCalculatorLeftOut when the engine left it
    // for a later group: unchanged). Then every calculator that lacks a file,
    // is due and was not attached counts a failed attempt (104), and so does
    // the session when it has met nobody yet. A calculator whose failures
    // pass the retries is given up.
    // `systemErrors` (may be shorter) has the system error behind each result,
    // `details` (may be shorter) what each failure is about (lastDetail).
    Outcome recordRun(const Run &run, const std::vector<std::int32_t> &results, std::uint64_t nowMs,
                   const std::vector<std::uint32_t> &systemErrors = {},
                   const std::vector<std::u16string> &details = {});

    // The release itself is refused (`code`): every calculator is given up
    // at once, one that holds every file too, and none is taken up again;
    // a calculator met later joins given up. Until the next reset().
    void refuseRelease(std::int32_t code, std::uint64_t nowMs);

    // Every calculator of the session holds every file (and there is one).
    bool allUpdated() const;
    // Every calculator that lacks a file has been given up (and there is one).
    bool allLackingGivenUp() const;
    // The earliest moment a calculator that lacks a file and is not given up
    // may be sent it; 0 when there is none.
    std::uint64_t nextDueMs() const;
    // The last code of the calculator given up last (104 when nobody was met).
    std::int32_t lastGivenUpCode() const { return lastGivenUpCode_; }
    // The calculator given up last; -1 when nobody was met.
    int lastGivenUpEntry() const { return lastGivenUpEntry_; }

    bool holdsRelease(int entry) const;
    int heldCount(int entry) const;
    int firstMissing(int entry) const; // -1 when it holds every file

    // The calculators that do not hold every file, in the order they joined.
    std::vector<Missing> notUpdated() const;

private:
    std::uint32_t allFiles() const { return fileCount_ >= 32 ? ~0u : (1u << fileCount_) - 1; }
    // attach()'s three steps: which entry each attached path is (-1: none),
    // a new entry for a path that is none, and a given-up calculator that
    // has come back taken up again.
    std::vector<int> match(const std::vector<std::u16string> &paths);
    int join(const std::u16string &path, std::uint64_t nowMs);
    void takeUpAgain(Calculator &calculator);
    // The station: `calculator` attached anew (`fresh`: it has just joined).
    void beginVisit(Calculator &calculator, std::uint64_t nowMs, std::uint32_t settleMs);
    void joinAfterGivenUp(Calculator &joined);
    void fail(int entry, std::int32_t code, std::uint32_t systemError, std::uint64_t nowMs, Outcome &outcome,
              const std::u16string &detail = std::u16string());
    // The one place a calculator's status is set: from its facts and the
    // release's refusal. Called after every change of either.
    void settle(Calculator &calculator) const;
    bool isDue(const Calculator &calculator, std::uint64_t nowMs) const
    {
        return (calculator.status == Status::Waiting || calculator.status == Status::RetryPause) &&
               calculator.dueMs <= nowMs;
    }
    bool lacking(const Calculator &calculator) const
    {
        return refused_ || (calculator.heldMask & allFiles()) != allFiles();
    }

    std::vector<Calculator> entries_;
    int fileCount_ = 0;
    int unmetFailures_ = 0; // failed passes while the session had met nobody
    std::int32_t lastGivenUpCode_ = 0;
    int lastGivenUpEntry_ = -1;
    bool refused_ = false; // refuseRelease(): nothing more goes to anyone
    bool station_ = false; // setStation()
};
