// Writing the production schedule file from the selected-schedule list.
#include "driver/korvex_write.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/korvex_list.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/issuemsg.h"

namespace {

constexpr int kDriverSet = 2207;
constexpr int kMsgNoMemory = 2;
constexpr int kMsgNotWritten = 8;
constexpr int kMsgLineRead = 13;
constexpr int kMsgListOrdered = 16;
constexpr int kMsgHalfDependency = 17;
constexpr int kMsgOneForWorkstation = 18;
constexpr int kMsgManyForWorkstation = 19;
constexpr int kMsgDateLine = 20;
constexpr int kMsgSelected = 21;
constexpr int kMsgWorkstationHeader = 22;
constexpr int kMsgNoneInAll = 26;
constexpr int kMsgOneInAll = 27;
constexpr int kMsgManyInAll = 28;

constexpr int kFatal = MSG_STDERR | MSG_FATAL;

std::string message_text(int number, MsgArgs args) {
    char buf[kFormatBufSize];
    std::int16_t length = 0;
    format_msg(buf, &length, kDriverSet, number, args);
    return std::string(buf, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// The output stream, remembering the first failed write: a production
// schedule that is not complete must not pass for one.
class schedule_output {
  public:
    explicit schedule_output(std::FILE* f) : f_(f) {}

    void put(const std::string& text) {
        if (f_ == nullptr) {
            if (error_ == 0) error_ = EBADF;
            return;
        }
        if (!text.empty() && std::fwrite(text.data(), 1, text.size(), f_) != text.size()) failed();
    }
    void line(const std::string& text) {
        put(text);
        if (f_ != nullptr && std::fputc('\n', f_) == EOF) failed();
    }
    // Text of whole lines, each ending in a newline, in one write.
    void lines(const std::string& text) { put(text); }
    int error() const { return error_; }

  private:
    void failed() {
        if (error_ == 0) error_ = errno != 0 ? errno : EIO;
    }
    std::FILE* f_;
    int error_ = 0;
};

void report_workstation(std::int32_t count, const std::string& workstation) {
    issue_msg(0, kDriverSet, count == 1 ? kMsgOneForWorkstation : kMsgManyForWorkstation,
              {arg_pint(&count), arg_str(workstation.c_str())});
    std::fputc('\n', stdout);
}

// The buffers of copy_schedule, kept from one schedule to the next.
struct copy_buffers {
    std::string text;         // the schedule's lines, each with its newline
    db_schedule_lines lines;  // where they are read from
};

// Copies one schedule's stored text, written in one piece once it has been
// read. The pieces of a long line are joined until the piece that ends it;
// whatever is still open when the schedule's text ends is a line of its own.
// Returns 0, or 1 after a fatal read failure that a test's exit hook let
// return (the lines read whole before it are written).
int copy_schedule(db_handle* db, const std::string& workstation, const std::string& schedule,
                  schedule_output& out, copy_buffers& buf) {
    std::string& text = buf.text;
    text.clear();
    bool open = false;
    std::size_t complete = 0;  // the length of the whole lines in text
    std::int16_t rc = db_schedule_text(db, workstation.c_str(), schedule.c_str(), &buf.lines);
    for (;;) {
        bool continued = false;  // the line read is a piece of a long line
        if (rc == DB_OK) rc = buf.lines.append(&text, &continued);
        if (rc == DB_E_END) break;
        if (rc != DB_OK) {
            // The lines read whole are written before the failure is reported.
            text.resize(complete);
            out.lines(text);
            std::string reason;
            db_error_text(db, &reason);
            issue_msg(kFatal, kDriverSet, kMsgLineRead, {arg_str(reason.c_str())});
            return 1;
        }
        if (continued) {
            open = true;
            continue;
        }
        text += '\n';
        complete = text.size();
        open = false;
    }
    if (open) text += '\n';
    out.lines(text);
    return 0;
}

}  // namespace

int write_production_schedule(run_context& ctx) {
    schedule_output out(ctx.output.get());
    db_handle* db = ctx.database;

    errno = 0;
    if (ctx.run_date != 0) out.line(message_text(kMsgDateLine, {arg_date(ctx.run_date)}));

    std::string previous;
    std::int32_t count = 0;
    std::int32_t total = 0;
    std::string workstation;
    std::string schedule;
    std::int32_t level = 0;
    copy_buffers buffers;
    int rc = kSelectedOk;
    while ((rc = next_selected(workstation, schedule, level)) == kSelectedOk) {
        if (workstation != previous) {
            if (!previous.empty()) report_workstation(count, previous);
            count = 0;
            const std::string header =
                message_text(kMsgWorkstationHeader, {arg_str(workstation.c_str())});
            out.line("*");
            out.line(header);
            out.line("*");
            std::fputs(header.c_str(), stdout);
            std::fputc('\n', stdout);
            previous = workstation;
        }
        ++count;
        ++total;
        issue_msg(0, kDriverSet, kMsgSelected, {arg_str(schedule.c_str())});
        if (copy_schedule(db, workstation, schedule, out, buffers) != 0) return 1;
    }
    if (rc != kSelectedEnd) {
        const int number = rc == kSelectedAlreadyOrdered   ? kMsgListOrdered
                           : rc == kSelectedHalfDependency ? kMsgHalfDependency
                                                           : kMsgNoMemory;
        issue_msg(kFatal, kDriverSet, number);
        return 1;
    }
    if (count > 0) report_workstation(count, previous);

    if (total == 0) std::fputc('\n', stdout);
    const int summary = total == 0 ? kMsgNoneInAll : total == 1 ? kMsgOneInAll : kMsgManyInAll;
    issue_msg(0, kDriverSet, summary, {arg_pint(&total)});
    std::fputc('\n', stdout);

    const int write_error = out.error();
    const int close_error = close_output(ctx);
    if (write_error != 0 || close_error != 0) {
        issue_msg(MSG_STDERR | MSG_FATAL2, kDriverSet, kMsgNotWritten,
                  {arg_errno(write_error != 0 ? write_error : close_error)});
        return 1;
    }
    return 0;
}
