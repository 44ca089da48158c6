// The selection pass: every schedule record of the master database is visited
// once, its stored text parsed against the run date, and the schedules that
// run (or that the forced list names) are entered in the selected-schedule
// list; then the production schedule file is written.
#pragma once

#include <string>
#include <vector>

#include "driver/korvex.h"
#include "driver/sscanner.h"

// Builds the run date's name list in the context: every calendar that holds
// the run date, "WEEKDAYS" and "WORKDAYS" (Monday to Friday, WORKDAYS only
// when the date is not in the HOLIDAYS calendar) and the two-letter day name.
// New names go to the front. A database failure is fatal (messages 2207/11,
// 2207/12); returns 0, or 1 when a test's exit hook lets the message return.
// With calendars given, it receives the name of every calendar the scan saw.
int build_run_date_names(run_context& ctx, std::vector<std::string>* calendars = nullptr);

// Runs the pass over all schedule records with the schedule and calendar
// files locked, then writes the production schedule file (closing the output
// stream) and releases the locks. With a run date and no names built yet, the
// run date's name list is built first, under the same locks. Database
// failures are fatal (2207/10, 2207/11, 2207/12, 2207/13, 2207/15,
// 2207/29); a definition error in a stored schedule ends
// the process with exit status 2. Returns 0, or 1 when a test's exit hook
// lets a fatal message return.
//
// A failure to release the locks once the file is written is reported on
// standard error with the database's text and does not change the result:
// the production schedule is complete, and the locks go with the database's
// file handles when the database is closed.
int selection_pass(run_context& ctx);

// The scanner's input while one schedule's text is parsed: its stored text
// lines in order, read from the schedule file. The pieces of a logical line
// that was stored in several records (each but the last 127 characters ending
// in a backslash) are joined, without those backslashes, and given as one
// line, so the scanner sees every line as it was written: a piece that begins
// with "#" or "*" is never taken for a comment line. An empty stored line is
// given as an empty line. A read failure is fatal (2207/13).
class schedule_text_input : public scan_input {
  public:
    schedule_text_input(db_handle* db, std::string workstation, std::string schedule)
        : db_(db), workstation_(std::move(workstation)), schedule_(std::move(schedule)) {}
    bool next_line(std::string& line) override;
    bool append_line(std::string& text, std::string& scratch) override;

  private:
    db_handle* db_;
    std::string workstation_;
    std::string schedule_;
    int cursor_ = 0;  // the text-line cursor; 0 before the first line
    bool done_ = false;
};
