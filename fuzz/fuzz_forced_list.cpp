// The forced-schedule list: the text is the -scheds file, read line by line
// against a scratch master database (both layouts) that holds a few
// schedules, so that names are found, missing, too long or malformed.
//
// Input: the first byte chooses the layout (bit 0) and this workstation's
// name (bits 1..2); the rest is the file.
#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/korvex.h"
#include "driver/korvex_dialog.h"
#include "fuzz/fuzz_util.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/termio.h"

namespace {

struct World {
    fuzz::ScratchHome home{"forced"};
    db_ptr db[2];
    std::string list_path;
};

World* g_world = nullptr;

void ignore_exit(int) {}

db_ptr make_db(const fuzz::ScratchHome& home, int long_names, const char* dir) {
    fuzz::fs::create_directories(home.dir().file(dir));
    fuzz::write_file(
        home.dir().file("localopts"),
        "thiscpu = CPU1\nmaster = CPU1\nbrantisdirectory = " + home.dir().file(dir) + "\n");
    db_shared_reset();
    db_ptr h;
    std::string msg;
    if (db_open(&h, DB_OPEN_PRIVATE, &msg, long_names) != DB_OK) {
        std::fprintf(stderr, "db_open: %s\n", msg.c_str());
        std::abort();
    }
    const char* const names[][2] = {
        {"CPU1", "DAILY"}, {"CPU1", "S1"},  {"CPU2", "DAILY"},
        {"MASTER", "X-Y"}, {"CPU1", "A_B"}, {"CPU1", long_names ? "LONGSCHEDULE1234" : "ABCDEFGH"},
    };
    if (db_lock_schedules(h.get()) != DB_OK) std::abort();
    for (const auto& n : names) {
        if (store_schedule_text(
                h.get(), make_sched_header(n[0], n[1]),
                std::string("SCHEDULE ") + n[0] + "#" + n[1] + "\nON MO\n:\nEND\n") != DB_OK) {
            std::fprintf(stderr, "cannot store %s#%s\n", n[0], n[1]);
            std::abort();
        }
    }
    if (db_unlock_schedules(h.get()) != DB_OK) std::abort();
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static World world;
    g_world = &world;
    world.db[0] = make_db(world.home, 0, "short");
    world.db[1] = make_db(world.home, 1, "long");
    world.list_path = world.home.dir().file("scheds");
    msg_set_exit_hook(&ignore_exit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const char* const workstations[] = {"CPU1", "CPU2", "", "MASTERWORKSTATN1"};
    const bool long_names = (data[0] & 1) != 0;
    fuzz::write_file(g_world->list_path, data + 1, size - 1);

    run_context ctx;
    ctx.database = g_world->db[long_names ? 1 : 0].get();
    ctx.long_names = long_names;
    ctx.this_workstation = workstations[(data[0] >> 1) & 3];
    ctx.schedule_list_path = g_world->list_path;
    ctx.scheds_given = true;
    read_forced_list(ctx);
    term_reset();
    return 0;
}
