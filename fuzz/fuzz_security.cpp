// The compiled Security file: the reader (header, block headers, records and
// their checksums), the user-block search, the condition lists and the access
// check over what was read.
//
// Input: the first byte chooses the user, the workstations, the object names
// and the form of the rest. With bit 7 clear the rest is the file as it is.
// With bit 7 set the rest describes the file and the target assembles it with
// correct lengths and checksums, so that mutations reach the rules: blocks of
// (name length, name, record count, records of (type, length, plain data)).
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "utils/libs/security.h"

namespace {

fuzz::ScratchDir* g_dir = nullptr;
std::string g_file;

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
    return buf;
}

std::string assemble(FuzzedDataProvider& in) {
    std::string out = std::string("SF  0001") + std::string(20, ' ') + "\n";
    const int blocks = in.ConsumeIntegralInRange<int>(0, 4);
    for (int b = 0; b < blocks && in.remaining_bytes() > 0; ++b) {
        const std::string name = in.ConsumeRandomLengthString(kSecBlockNameSize);
        const std::string key = security_block_key(name);
        std::string body;
        const int records = in.ConsumeIntegralInRange<int>(0, 8);
        for (int r = 0; r < records && in.remaining_bytes() > 0; ++r) {
            const int type = in.ConsumeIntegral<std::uint8_t>();
            std::string data = in.ConsumeRandomLengthString(200);
            const unsigned sum =
                scramble_record(key, reinterpret_cast<std::uint8_t*>(data.data()), data.size());
            body += hex4(static_cast<unsigned>(kSecRecordHeaderSize + data.size())) +
                    hex4(security_checksum(sum)) + static_cast<char>(type) + data;
        }
        std::string padded = name;
        padded.resize(kSecBlockNameSize, ' ');
        out += hex4(static_cast<unsigned>(kSecBlockHeaderSize + body.size())) + "0000" +
               static_cast<char>(SEC_OBJ_USER) + padded + body;
    }
    return out;
}

// Reads the file the way the check does, piece by piece.
void walk(SecurityContext& ctx) {
    long offset = read_sec_header(ctx);
    for (int b = 0; offset > 0 && b < 64; ++b) {
        std::string name;
        const long length = read_block_header(ctx, offset, name);
        if (length < kSecBlockHeaderSize) break;
        const std::string key = security_block_key(name);
        std::int64_t at = offset + kSecBlockHeaderSize;
        for (int r = 0; at < offset + length && r < 256; ++r) {
            int type = 0;
            std::vector<std::uint8_t> data;
            const long n = read_sec_record(ctx, at, key, type, data);
            if (n < 0) break;
            SecConditionList list;
            if (parse_conditions(data.data(), data.size(), list) && type == SEC_OBJ_USER)
                match_user_record(ctx, data.data(), data.size());
            at += kSecRecordHeaderSize + n;
        }
        offset += length;
    }
    find_user_block(ctx);
    find_user_block(ctx, "");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static fuzz::ScratchDir dir("security");
    g_dir = &dir;
    g_file = dir.file("Security");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned mode = data[0];
    FuzzedDataProvider in(data + 1, size - 1);
    const std::string file = (mode & 0x80) != 0 ? assemble(in) : in.ConsumeRemainingBytesAsString();
    fuzz::write_file(g_file, file);

    // The plain data straight into the condition parser as well.
    SecConditionList list;
    parse_conditions(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), list);

    static const char* const users[] = {"operator", "root", "DOMAIN\\op", ""};
    static const char* const cpus[] = {"CPU1", "MASTER", "", "LONGWORKSTATION1"};
    static const char* const objects[] = {"prodsked", "/tmp/x.y", "Security", "", "PROD@?.#"};
    UserIdentity user;
    user.full_name = users[mode & 3];
    user.short_name = short_user_name(user.full_name);
    user.super_user = (mode & 4) != 0;
    user.groups = {"staff", "ops"};
    SecurityOpenOptions o;
    o.identity_flags = (mode & 8) != 0 ? kIdentityTestMode : 0;
    o.long_names = (mode & 0x10) != 0;
    o.this_cpu = cpus[(mode >> 5) & 3];
    o.master = cpus[0];
    o.user = &user;
    o.file = g_file;

    std::string err;
    std::unique_ptr<SecurityContext> ctx = open_security(o, err);
    if (!ctx) return 0;
    for (int type : {SEC_OBJ_FILE, SEC_OBJ_SCHEDULE, SEC_OBJ_JOB, SEC_OBJ_CALENDAR})
        for (int action : {int{SEC_ACT_BUILD}, int{SEC_ACT_DISPLAY}, int{SEC_ACT_MODIFY}, 99})
            for (const char* name : objects) {
                check_access(ctx.get(), action, type, name);
                security_error_text(ctx.get());
            }
    close_security(ctx, err);

    ctx = open_security(o, err);
    if (ctx) {
        walk(*ctx);
        close_security(ctx, err);
    }
    return 0;
}
