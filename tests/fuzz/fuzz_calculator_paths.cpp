// Arbitrary device paths, as a system may list them, through everything the
// session derives from them: the identity and the instance part (never past
// the buffer, always terminated, a piece of the path), and the session's
// ledger over several discoveries (a run takes only attached calculators, at
// most 16, each lacking the run's file; "Done" never while one lacks a file).
#include "session/calculator_ledger.h"
#include "session/next_step.h"
#include "transport/device_discovery.h"
#include "transport/transfer_engine.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkPart(int (*part)(char16_t *, int, const char16_t *), const std::u16string &path, int capacity)
{
    std::vector<char16_t> output(std::size_t(capacity) + 4, char16_t(0xBEEF));
    const int length = part(output.data(), capacity, path.c_str());
    for (std::size_t i = std::size_t(capacity); i < output.size(); ++i)
        check(output[i] == 0xBEEF);
    if (length < 0) {
        check(capacity == 0 || output[0] == 0);
        return;
    }
    check(length < capacity && output[std::size_t(length)] == 0);
    // Upper-cased a-z apart, it is a piece of the path.
    std::u16string upper = path;
    for (char16_t &unit : upper)
        unit = unit >= u'a' && unit <= u'z' ? char16_t(unit - 32) : unit;
    check(upper.find(std::u16string(output.data(), std::size_t(length))) != std::u16string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<std::u16string> pool;
    for (int n = input.ConsumeIntegralInRange(1, 24); n > 0 && input.remaining_bytes() > 0; --n) {
        std::u16string path;
        const std::string bytes = input.ConsumeRandomLengthString(300);
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
            path += char16_t(std::uint8_t(bytes[i]) | std::uint8_t(bytes[i + 1]) << 8);
        // Now and then the real shape around the junk.
        if (input.ConsumeBool())
            path = u"\\\\?\\usbstor#disk&ven_xq&prod_tavix_update#" + path + u"#{53f56307}";
        path.erase(std::find(path.begin(), path.end(), u'\0'), path.end());
        const int capacity = input.ConsumeIntegralInRange(0, kDevicePathLength);
        checkPart(calculatorIdentity, path, capacity);
        checkPart(calculatorInstance, path, capacity);
        pool.push_back(path);
    }

    CalculatorLedger ledger;
    ledger.reset(3);
    std::uint64_t now = 0;
    for (int pass = 0; pass < 12 && input.remaining_bytes() > 0; ++pass) {
        std::vector<std::u16string> attached;
        for (const std::u16string &path : pool)
            if (input.ConsumeBool() && std::find(attached.begin(), attached.end(), path) == attached.end())
                attached.push_back(path);
        ledger.attach(attached, now);
        const CalculatorLedger::Run run = ledger.nextRun(now);
        check(run.entries.size() <= std::size_t(CalculatorLedger::kGroupSize) && run.entries.size() == run.paths.size());
        std::vector<std::int32_t> results;
        for (std::size_t k = 0; k < run.entries.size(); ++k) {
            check(ledger.at(run.entries[k]).present && ledger.firstMissing(run.entries[k]) == run.file);
            results.push_back(input.ConsumeBool() ? 0 : 112);
        }
        now += input.ConsumeIntegralInRange<std::uint64_t>(0, 10000);
        const NextStep next = decideNextStep(ledger, ledger.recordRun(run, results, now), now);
        if (next.kind == NextStep::Done)
            for (int e = 0; e < ledger.size(); ++e)
                check(ledger.holdsRelease(e));
    }
    return 0;
}
