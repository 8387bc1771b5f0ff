// Injected faults and the power cut: MTDSIM_FAULTS gives a fault to a
// request by its index, MTDSIM_CUT the request where the power goes. Every
// request to the device starts with next_request, which counts it and says
// which fault, if any, it meets; the block and page fault lists
// (--fail-erase, --fail-page, ...) are looked up where the request is served.

#include "faults.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log.h"
#include "settings.h"

namespace mtdsim::preload {

// How much wear one block (or page) of a --weak list has taken so far.
struct Wear {
    const RangeList* list;
    uint64_t unit;  // block or page number
    uint32_t done;
};

namespace {

// True when `unit` of `list` has no wear left; counts one more use otherwise.
bool worn_out(const RangeList& list, uint64_t unit) {
    const Range* weak = find_range(list, unit);
    if (!weak) return false;
    int i = 0;
    while (i < sim.wear_count && (sim.wear[i].list != &list || sim.wear[i].unit != unit)) ++i;
    if (i == sim.wear_count) {
        void* grown = realloc(sim.wear, sizeof(Wear) * static_cast<size_t>(sim.wear_count + 1));
        if (!grown) return true;
        sim.wear = static_cast<Wear*>(grown);
        sim.wear[sim.wear_count++] = Wear{&list, unit, 0};
    }
    if (sim.wear[i].done >= weak->value) return true;
    ++sim.wear[i].done;
    return false;
}

FaultKind fault_kind(const char* word) {
    const char* end = strchr(word, ',');
    const size_t length = end ? static_cast<size_t>(end - word) : strlen(word);
    const auto is = [word, length](const char* name) {
        return strlen(name) == length && strncmp(word, name, length) == 0;
    };
    if (is("eio")) return kFaultEio;
    if (is("eintr")) return kFaultEintr;
    if (is("short")) return kFaultShort;
    if (is("zero")) return kFaultZero;
    if (is("einval")) return kFaultEinval;
    if (is("enomem")) return kFaultEnomem;
    if (is("efault")) return kFaultEfault;
    if (is("ecc")) return kFaultEcc;
    return kFaultNone;
}

// MTDSIM_FAULTS: "index:kind,index:kind", kinds as FaultKind names them.
void parse_faults() {
    const char* text = getenv("MTDSIM_FAULTS");
    while (text && *text) {
        char* end;
        uint64_t index = strtoull(text, &end, 0);
        if (*end != ':') break;
        void* grown = realloc(sim.faults, sizeof(Fault) * static_cast<size_t>(sim.fault_count + 1));
        if (!grown) break;
        sim.faults = static_cast<Fault*>(grown);
        sim.faults[sim.fault_count++] = Fault{index, fault_kind(end + 1)};
        const char* comma = strchr(end, ',');
        text = comma ? comma + 1 : nullptr;
    }
}

// MTDSIM_CUT: "index" or "index:pages".
void parse_cut() {
    const char* text = getenv("MTDSIM_CUT");
    if (!text) return;
    char* end;
    sim.cut_index = strtoull(text, &end, 0);
    if (*end == ':') sim.cut_pages = static_cast<int64_t>(strtoull(end + 1, nullptr, 0));
}

}  // namespace

// The fault settings, one line each: a new kind of fault is read here.
void load_faults() {
    if (const char* v = getenv("MTDSIM_SHORT_WRITE")) sim.short_write = strtoull(v, nullptr, 0);
    sim.fail_info = getenv("MTDSIM_FAIL_INFO") != nullptr;
    parse_list("MTDSIM_FAIL_ERASE", sim.fail_erase);
    parse_list("MTDSIM_FAIL_WRITE", sim.fail_write);
    parse_list("MTDSIM_FAIL_QUERY", sim.fail_query);
    parse_list("MTDSIM_FAIL_PAGE", sim.fail_page);
    parse_list("MTDSIM_BITFLIPS", sim.bitflips, true);
    parse_list("MTDSIM_ECC_FAIL", sim.ecc_fail);
    parse_list("MTDSIM_FAIL_MARKBAD", sim.fail_markbad);
    parse_list("MTDSIM_CORRUPT_WRITE", sim.corrupt_write, true, kOffsetUnset);
    parse_list("MTDSIM_STRAY_WRITE", sim.stray_write, true, kOffsetUnset);
    parse_list("MTDSIM_ECC_FAIL_WRITTEN", sim.ecc_fail_written);
    // Without a count, three more, as nandsim's weakblocks and weakpages.
    parse_list("MTDSIM_WEAK", sim.weak_erase, true, 3);
    parse_list("MTDSIM_WEAK_PAGE", sim.weak_page, true, 3);
    parse_faults();
    parse_cut();
    sim.cut_path = getenv("MTDSIM_CUT_REPORT");
}

int injected_error(FaultKind fault, int otherwise) {
    switch (fault) {
        case kFaultNone:
        case kFaultEcc: return 0;
        case kFaultEinval: return EINVAL;
        case kFaultEnomem: return ENOMEM;
        case kFaultEfault: return EFAULT;
        default: return otherwise;
    }
}

bool weak_erase_fails(uint64_t block) { return worn_out(sim.weak_erase, block); }
bool weak_program_fails(uint64_t page) { return worn_out(sim.weak_page, page); }

// The power goes at this request: logged, told to the wrapper, and the
// process dies as it would on the board, with nothing after this point done.
[[noreturn]] void power_cut(const char* format, ...) {
    char text[200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_line("cut %s", text);
    char line[240];
    snprintf(line, sizeof line, "%llu %s\n", static_cast<unsigned long long>(sim.request_index), text);
    append_to(sim.cut_path, line);
    kill(getpid(), SIGKILL);
    _exit(128 + SIGKILL);
}

// The injected fault for the request being handled, if any.
FaultKind next_request() {
    ++sim.request_index;
    sim.cut_now = sim.cut_index == sim.request_index;
    for (int i = 0; i < sim.fault_count; ++i)
        if (sim.faults[i].index == sim.request_index) return sim.faults[i].kind;
    return kFaultNone;
}

}  // namespace mtdsim::preload
