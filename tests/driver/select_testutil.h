// Helpers for the selection pass and writer tests: schedules stored record by
// record, so that a test can lay down stored lines that the storing
// operation would never write (a continued piece as a schedule's last line).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "masterdb/masterdb_testutil.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/isamacc.h"

namespace seltest {

// Stores a schedule header and then each given line as one text line record,
// exactly as given (short layout).
inline void put_stored_lines(db_handle* h, const std::string& ws, const std::string& name,
                             const std::vector<std::string>& stored) {
    ASSERT_EQ(db_open_file(h, DB_FILE_SCHEDULES), DB_OK);
    ASSERT_EQ(db_open_file(h, DB_FILE_SCHED_JOBS), DB_OK);
    isam_handle* f = h->files[DB_FILE_SCHEDULES].get();
    ASSERT_EQ(isam_record_length(f, 1), 182) << "short layout only";

    std::string key = ws.substr(0, 8);
    key.resize(8, ' ');
    std::string sched = name.substr(0, 8);
    sched.resize(8, ' ');
    key += sched;

    std::string header = key;
    header.resize(82, ' ');
    header.replace(40, 10, "         0");
    ASSERT_EQ(db_lock_schedules(h), DB_OK);
    ASSERT_EQ(isam_add(f, header.data(), 0), ISAM_OK);
    int lineno = 0;
    for (const std::string& text : stored) {
        char number[16];
        std::snprintf(number, sizeof number, "%6d", lineno++);
        std::string rec = key + number + text.substr(0, DB_LINE_TEXT);
        rec.resize(182, ' ');
        ASSERT_EQ(isam_add(f, rec.data(), 1), ISAM_OK);
    }
    h->current_sched.clear();
    ASSERT_EQ(db_unlock_schedules(h), DB_OK);
}

// A text of n characters that begins with `first` and cycles through the
// letters after it.
inline std::string filler(std::size_t n, char first = 'a') {
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
        s += i == 0 ? first : static_cast<char>('a' + i % 26);
    return s;
}

}  // namespace seltest
