#include "platform/faults.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace plat {

namespace fault_detail {
unsigned long calls[kinds] = {};
bool idle = false;  // the first check reads the environment
}  // namespace fault_detail

namespace {

struct ArmedFault {
    bool armed = false;
    bool environment_read = false;
    FaultOp op = FaultOp::any;
    unsigned long n = 0;
    int err = 0;
};

ArmedFault armed_fault;

constexpr struct {
    std::string_view name;
    FaultOp op;
} op_names[] = {
    {"read", FaultOp::read}, {"write", FaultOp::write}, {"seek", FaultOp::seek},
    {"lock", FaultOp::lock}, {"fsync", FaultOp::fsync}, {"truncate", FaultOp::truncate},
    {"any", FaultOp::any},
};

constexpr struct {
    std::string_view name;
    int err;
} err_names[] = {
    {"EIO", EIO},
    {"ENOSPC", ENOSPC},
    {"SHORT", FAULT_SHORT},
};

unsigned long calls_of(FaultOp op) {
    if (op != FaultOp::any) return fault_detail::calls[static_cast<unsigned>(op)];
    unsigned long sum = 0;
    for (unsigned long c : fault_detail::calls)
        sum += c;
    return sum;
}

void reset_counts() {
    for (unsigned long& c : fault_detail::calls)
        c = 0;
}

// Splits "OP:N:ERR"; false when any part is not valid.
bool parse_fault(std::string_view text, FaultOp* op, unsigned long* n, int* err) {
    std::size_t c1 = text.find(':');
    if (c1 == std::string_view::npos) return false;
    std::size_t c2 = text.find(':', c1 + 1);
    if (c2 == std::string_view::npos) return false;
    std::string_view op_text = text.substr(0, c1);
    std::string_view n_text = text.substr(c1 + 1, c2 - c1 - 1);
    std::string_view err_text = text.substr(c2 + 1);

    bool op_found = false;
    for (const auto& entry : op_names) {
        if (entry.name == op_text) {
            *op = entry.op;
            op_found = true;
        }
    }
    bool err_found = false;
    for (const auto& entry : err_names) {
        if (entry.name == err_text) {
            *err = entry.err;
            err_found = true;
        }
    }
    if (!op_found || !err_found || n_text.empty() || n_text.size() > 18) return false;
    unsigned long value = 0;
    for (char ch : n_text) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + static_cast<unsigned long>(ch - '0');
    }
    if (value == 0) return false;
    *n = value;
    return true;
}

void read_environment() {
    armed_fault.environment_read = true;
    const char* text = std::getenv("KORVEX_FAULT");
    if (text == nullptr || *text == '\0') return;
    FaultOp op;
    unsigned long n;
    int err;
    if (!parse_fault(text, &op, &n, &err)) {
        std::fprintf(stderr, "KORVEX_FAULT=\"%s\" ignored: expected OP:N:ERR\n", text);
        return;
    }
    // Counted from the start of the program, so the counts stay as they are.
    armed_fault.armed = true;
    armed_fault.op = op;
    armed_fault.n = n;
    armed_fault.err = err;
}

// The report of the call counts at exit (KORVEX_FAULT_COUNTS). The path is
// constructed before the handler is registered, so it outlives the handler.
std::string counts_path;
pid_t counts_pid = 0;

void write_counts() {
    // A forked child that ends with exit() must not overwrite the report of
    // the process that asked for it.
    if (counts_path.empty() || ::getpid() != counts_pid) return;
    std::FILE* out = std::fopen(counts_path.c_str(), "w");
    if (out == nullptr) return;
    for (const auto& entry : op_names) {
        if (entry.op == FaultOp::any) continue;
        std::fprintf(out, "%.*s %lu\n", static_cast<int>(entry.name.size()), entry.name.data(),
                     calls_of(entry.op));
    }
    std::fclose(out);
}

bool register_counts_report() {
    const char* path = std::getenv("KORVEX_FAULT_COUNTS");
    if (path == nullptr || *path == '\0') return false;
    counts_path = path;
    counts_pid = ::getpid();
    return std::atexit(write_counts) == 0;
}

// Registered while the program starts, so that a run that ends before its
// first checked call still leaves a report.
[[maybe_unused]] const bool counts_report_registered = register_counts_report();

}  // namespace

int fault_detail::check_armed(FaultOp op) {
    if (!armed_fault.environment_read) read_environment();
    if (!armed_fault.armed) {
        idle = true;
        return 0;
    }
    if (armed_fault.op != FaultOp::any && armed_fault.op != op) return 0;
    if (calls_of(armed_fault.op) != armed_fault.n) return 0;
    armed_fault.armed = false;
    idle = true;
    return armed_fault.err;
}

int fault_arm(FaultOp op, unsigned long n, int err) {
    if (n == 0 || err == 0) {
        errno = EINVAL;
        return -1;
    }
    armed_fault.environment_read = true;
    armed_fault.armed = true;
    armed_fault.op = op;
    armed_fault.n = n;
    armed_fault.err = err;
    reset_counts();
    fault_detail::idle = false;
    return 0;
}

int fault_arm_text(const char* text) {
    FaultOp op;
    unsigned long n;
    int err;
    if (text == nullptr || !parse_fault(text, &op, &n, &err)) {
        fault_disarm();
        errno = EINVAL;
        return -1;
    }
    return fault_arm(op, n, err);
}

void fault_disarm() {
    armed_fault.environment_read = true;
    armed_fault.armed = false;
    reset_counts();
    fault_detail::idle = true;
}

unsigned long fault_count(FaultOp op) {
    return calls_of(op);
}

}  // namespace plat
