// The Security file and the access check. See security.h.
#include "utils/libs/security.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/fileio.h"
#include "utils/libs/dateutil.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/mutils.h"
#include "utils/libs/stdutil.h"

namespace {

constexpr std::uint32_t bits(std::initializer_list<int> codes) {
    std::uint32_t b = 0;
    for (int c : codes)
        b |= 1u << c;
    return b;
}

constexpr std::uint32_t kAllObjects = bits({1, 2, 3, 4, 5, 6, 7, 8, 9, 15});
constexpr std::uint32_t kAllButFile = bits({1, 2, 3, 4, 5, 6, 7, 8, 15});

constexpr SecKeyword kObjects[] = {
    {"JOB", SEC_OBJ_JOB, 0, SEC_ATTR_CPU, false},
    {"SCHEDULE", SEC_OBJ_SCHEDULE, 0, 0, false},
    {"PROMPT", SEC_OBJ_PROMPT, 0, 0, false},
    {"RESOURCE", SEC_OBJ_RESOURCE, 0, 0, false},
    {"CPU", SEC_OBJ_CPU, 0, SEC_ATTR_CPU, false},
    {"CALENDAR", SEC_OBJ_CALENDAR, 0, 0, false},
    {"SECURITY", SEC_OBJ_SECURITY, 0, SEC_ATTR_CPU, false},
    {"PARAMETER", SEC_OBJ_PARAMETER, 0, 0, false},
    {"FILE", SEC_OBJ_FILE, 0, 0, false},
    {"DATABASE", SEC_OBJ_FILE, 0, 0, false},
    {"USEROBJ", SEC_OBJ_USEROBJ, 0, SEC_ATTR_CPU, false},
    {"USER", SEC_OBJ_USER, 0, SEC_ATTR_CPU, false},
    {"BEGIN", SEC_OBJ_BEGIN, 0, 0, false},
    {"END", SEC_OBJ_END, 0, 0, false},
    {"IS", SEC_OBJ_IS, 0, 0, false},
    {"ACCESS", SEC_OBJ_ACCESS, 0, 0, false},
    {"_SYM_JOB", SEC_OBJ_SYM_JOB, 0, 0, false},
    {"_SYM_SCHED", SEC_OBJ_SYM_SCHED, 0, 0, false},
    {"_SYM_MSG", SEC_OBJ_SYM_MSG, 0, 0, false},
    {"_SYM_RSRC", SEC_OBJ_SYM_RSRC, 0, 0, false},
    {"_SYM_CPU", SEC_OBJ_SYM_CPU, 0, 0, false},
    {"_SYM_CAL", SEC_OBJ_SYM_CAL, 0, 0, false},
    {"_SYM_USEROBJ", SEC_OBJ_SYM_USEROBJ, 0, 0, false},
    {"_SYM_MJOB", SEC_OBJ_SYM_MJOB, 0, 0, false},
};

constexpr SecKeyword kActions[] = {
    {"ADD", 1, kAllButFile, 0, false},       {"ADDDEP", 2, bits({1, 2}), 0, false},
    {"ALTPRI", 3, bits({1, 2}), 0, false},   {"CLEAN", 4, bits({9}), 0, false},
    {"BUILD", 4, bits({9}), 0, false},       {"CANCEL", 5, bits({1, 2}), 0, false},
    {"CONFIRM", 6, bits({1}), 0, false},     {"CONSOLE", 7, bits({5}), 0, false},
    {"DELDEP", 8, bits({1, 2}), 0, false},   {"DELETE", 9, kAllObjects, 0, false},
    {"DISPLAY", 10, kAllObjects, 0, false},  {"FENCE", 11, bits({5}), 0, false},
    {"KILL", 12, bits({1}), 0, false},       {"LIMIT", 13, bits({2, 5}), 0, false},
    {"LINK", 14, bits({5}), 0, false},       {"MODIFY", 15, kAllObjects, 0, false},
    {"RELEASE", 16, bits({1, 2}), 0, false}, {"REPLY", 17, bits({1, 2, 3}), 0, false},
    {"RERUN", 18, bits({1}), 0, false},      {"RESOURCE", 19, bits({4}), 0, false},
    {"SHUTDOWN", 20, bits({5}), 0, false},   {"START", 21, bits({5}), 0, false},
    {"STOP", 22, bits({5}), 0, false},       {"SUBMIT", 23, bits({1, 2}), 0, false},
    {"UNLINK", 24, bits({5}), 0, false},     {"USE", 25, bits({1, 3, 4, 6}), 0, false},
    {"ALTPASS", 26, bits({15}), 0, false},
};

constexpr SecKeyword kAttributes[] = {
    {"JCL", SEC_ATTR_JCL, bits({1}), 0, false},
    {"JCLLOGON", SEC_ATTR_JCLLOGON, bits({1}), 0, false},
    {"JCLOWNER", SEC_ATTR_JCLOWNER, bits({1}), 0, false},
    {"JCLGROUP", SEC_ATTR_JCLGROUP, bits({1}), 0, false},
    {"LOGON", SEC_ATTR_LOGON, bits({1, 10, 15}), 0, false},
    {"NAME", SEC_ATTR_NAME, bits({1, 2, 3, 4, 6, 7, 8, 9}), 0, true},
    {"OWNER", SEC_ATTR_OWNER, bits({1, 2, 8}), 0, false},
    {"GROUP", SEC_ATTR_GROUP, bits({1, 10}), 0, false},
    {"JCLACCESS", SEC_ATTR_JCLACCESS, bits({1}), 0, true},
    {"PASSWORD", SEC_ATTR_PASSWORD, 0, 0, false},
    {"CPU", SEC_ATTR_CPU, bits({1, 2, 4, 5, 8, 10, 15}), 0, true},
};

constexpr SecKeyword kVariables[] = {
    {"THISCPU", SEC_VAR_THISCPU, bits({11}), 0, false},
    {"MASTER", SEC_VAR_MASTER, bits({11}), 0, false},
    {"REMOTES", SEC_VAR_REMOTES, bits({11}), 0, false},
    {"SLAVES", SEC_VAR_SLAVES, bits({11}), 0, false},
    {"USER", SEC_VAR_USER, bits({2, 3, 5, 7}), 0, false},
    {"OWNER", SEC_VAR_OWNER, bits({2, 3, 5}), 0, false},
    {"JCLOWNER", SEC_VAR_JCLOWNER, bits({2, 5, 7}), 0, false},
    {"JCLLOGON", SEC_VAR_JCLLOGON, bits({3, 5, 7}), 0, false},
    {"USERGROUPS", SEC_VAR_USERGROUPS, bits({4}), 0, false},
    {"JCLGROUP", SEC_VAR_JCLGROUP, bits({8}), 0, false},
    {"SEC_FNAME", SEC_VAR_SEC_FNAME, 0, 0, false},
};

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

bool is_white(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trim_right_copy(std::string s) {
    while (!s.empty() && is_white(static_cast<unsigned char>(s.back())))
        s.pop_back();
    return s;
}

// A name cut to a width, trailing white space removed.
std::string cut_name(const std::string& name, std::size_t width) {
    return trim_right_copy(name.substr(0, std::min(name.size(), width)));
}

bool equal_ignore_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// 4 hexadecimal digits; -1 when any is not one.
long parse_hex4(const std::uint8_t* p) {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = p[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            return -1;
        v = v * 16 + d;
    }
    return v;
}

void set_reason(SecurityContext& ctx, int reason, int error_number = 0) {
    ctx.reason = reason;
    ctx.error_number = error_number;
}

// Reads up to n bytes at offset; the count, or -1 with errno.
long read_at(int fd, std::int64_t offset, void* buf, std::size_t n) {
    if (plat::FH_lseek_file(fd, offset, SEEK_SET) < 0) return -1;
    std::size_t got = 0;
    auto* p = static_cast<std::uint8_t*>(buf);
    while (got < n) {
        const long r = plat::FH_read_file(fd, p + got, n - got);
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long>(got);
}

bool valid_context(const SecurityContext* ctx) {
    return ctx != nullptr && ctx->magic == kSecurityMagic;
}

// ---------------------------------------------------------------------------
// Variables

bool is_master(const SecurityContext& ctx) {
    return !ctx.master.empty() && equal_ignore_case(ctx.this_cpu, ctx.master);
}

std::size_t name_width(const SecurityContext& ctx) {
    return ctx.long_names ? 16 : 8;
}

bool one_value(int index, std::string& value, const std::string& v) {
    if (index != 0) return false;
    value = v;
    return true;
}

bool var_thiscpu(const SecurityContext& ctx, int index, std::string& value, void*) {
    return one_value(index, value, cut_name(ctx.this_cpu, name_width(ctx)));
}

bool var_master(const SecurityContext& ctx, int index, std::string& value, void*) {
    return one_value(index, value, cut_name(ctx.master, name_width(ctx)));
}

// REMOTES and SLAVES: every workstation, seen from the master; nothing
// elsewhere.
bool var_others(const SecurityContext& ctx, int index, std::string& value, void*) {
    if (!is_master(ctx)) return false;
    return one_value(index, value, "@");
}

bool var_user(const SecurityContext& ctx, int index, std::string& value, void*) {
    return one_value(index, value, ctx.user.full_name);
}

bool var_empty(const SecurityContext&, int index, std::string& value, void*) {
    return one_value(index, value, "");
}

bool var_groups(const SecurityContext& ctx, int index, std::string& value, void*) {
    if (index < 0 || static_cast<std::size_t>(index) >= ctx.user.groups.size()) return false;
    value = ctx.user.groups[static_cast<std::size_t>(index)];
    return true;
}

bool var_sec_fname(const SecurityContext& ctx, int index, std::string& value, void*) {
    return one_value(index, value, ctx.file_name);
}

// ---------------------------------------------------------------------------
// Matching

int match_text(const std::string& subject, const std::string& pattern, bool ignore_case) {
    return match_pattern(subject.data(), pattern.data(), static_cast<int>(subject.size()),
                         static_cast<int>(pattern.size()), ignore_case ? 1 : 0);
}

// A LOGON pattern against the user's full name: the name up to its first
// comma (all of it when the pattern holds a comma), then the part after the
// last backslash.
bool match_logon(const std::string& full_name, const std::string& pattern) {
    std::string subject = full_name;
    if (pattern.find(',') == std::string::npos) {
        const std::size_t comma = subject.find(',');
        if (comma != std::string::npos) subject.erase(comma);
    }
    if (match_text(subject, pattern, true)) return true;
    const std::size_t cut = full_name.rfind('\\');
    if (cut == std::string::npos) return false;
    return match_text(full_name.substr(cut + 1), pattern, true) != 0;
}

constexpr std::uint32_t kUserAttributes =
    1u << SEC_ATTR_LOGON | 1u << SEC_ATTR_GROUP | 1u << SEC_ATTR_CPU;
constexpr std::uint32_t kObjectAttributes = 1u << SEC_ATTR_NAME | 1u << SEC_ATTR_CPU;

int user_attribute_match(const SecurityContext& ctx, int attribute, const std::string& pattern,
                         const void*) {
    switch (attribute) {
        case SEC_ATTR_LOGON:
            return match_logon(ctx.user.full_name, pattern) ? 1 : 0;
        case SEC_ATTR_GROUP:
            for (const std::string& g : ctx.user.groups)
                if (match_text(g, pattern, false)) return 1;
            return 0;
        case SEC_ATTR_CPU:
            return match_text(ctx.this_cpu, pattern, false);
        default:
            return 0;
    }
}

// NAME against the object's subject (passed as extra), CPU against this
// workstation. Used for files and, with the upper-cased name as subject, for
// the objects of the master database and the plan.
int object_attribute_match(const SecurityContext& ctx, int attribute, const std::string& pattern,
                           const void* extra) {
    switch (attribute) {
        case SEC_ATTR_NAME:
            return match_text(*static_cast<const std::string*>(extra), pattern, false);
        case SEC_ATTR_CPU:
            return match_text(ctx.this_cpu, pattern, false);
        default:
            return 0;
    }
}

bool action_allowed(const SecConditionList& list, int action) {
    if (action == 0) return true;
    return std::find(list.actions.begin(), list.actions.end(), action) != list.actions.end();
}

int match_generic_record(const SecurityContext& ctx, int action, int, const char* name,
                         const std::uint8_t* rule, std::size_t length, void*) {
    SecConditionList list;
    if (!parse_conditions(rule, length, list) || !list.has_actions) return 2;
    std::string subject = name != nullptr ? name : "";
    for (char& c : subject)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const int held =
        evaluate_conditions(ctx, list, kObjectAttributes, object_attribute_match, &subject);
    if (held < 0) return 2;
    if (held == 0) return 0;
    return action_allowed(list, action) ? 1 : -1;
}

std::string describe_generic(const SecurityContext&, const char* name, void*) {
    std::string text = name != nullptr ? name : "";
    if (text.size() > kSecDisplaySize - 1) text.resize(kSecDisplaySize - 1);
    return text;
}

bool grants(const std::string& path, const plat::FileStatus& st, int want) {
    if (plat::FH_access_file(path.c_str(), want) == 0) return true;
    if ((want & 4) && !(st.mode & 0400)) return false;
    if ((want & 2) && !(st.mode & 0200)) return false;
    return true;
}

const SecHandler* find_handler(const SecurityContext& ctx, int type) {
    for (const SecHandler& h : ctx.handlers)
        if (h.type == type) return &h;
    return nullptr;
}

bool open_file(SecurityContext& ctx, const std::string& path) {
    ctx.file_name = path;
    ctx.fd = plat::FH_open_file(path.c_str(), plat::FH_RDONLY);
    ctx.open_errno = ctx.fd < 0 ? errno : 0;
    return ctx.fd >= 0;
}

// Loads the object records of the user's block; false with the reason set.
bool load_rules(SecurityContext& ctx) {
    std::int64_t offset = find_user_block(ctx);
    if (offset == 0) {
        if (ctx.reason == 0) set_reason(ctx, SEC_NO_USER_BLOCK);
        return false;
    }
    std::vector<std::uint8_t> data;
    for (;;) {
        int type = 0;
        const long n = read_sec_record(ctx, offset, ctx.block_key, type, data);
        if (n < 0) return false;
        offset += kSecRecordHeaderSize + n;
        if (type == SEC_OBJ_END) return true;
        if (type == SEC_OBJ_USER || type == SEC_OBJ_BEGIN || type == SEC_OBJ_IS ||
            type == SEC_OBJ_ACCESS) {
            set_reason(ctx, SEC_UNEXPECTED_TYPE);
            return false;
        }
        ctx.rules.push_back(SecRule{type, data});
    }
}

bool refuse(SecurityContext& ctx, int reason, int error_number = 0) {
    set_reason(ctx, reason, error_number);
    return false;
}

bool refuse_object(SecurityContext& ctx, const SecHandler& h, const char* name) {
    ctx.display = h.describe != nullptr ? h.describe(ctx, name, h.describe_data) : "";
    if (ctx.display.size() > kSecDisplaySize - 1) ctx.display.resize(kSecDisplaySize - 1);
    return refuse(ctx, SEC_REFUSED);
}

}  // namespace

// ---------------------------------------------------------------------------
// Keyword tables

std::span<const SecKeyword> security_table(int table) {
    switch (table) {
        case SEC_TABLE_OBJECTS:
            return kObjects;
        case SEC_TABLE_ACTIONS:
            return kActions;
        case SEC_TABLE_ATTRIBUTES:
            return kAttributes;
        case SEC_TABLE_VARIABLES:
            return kVariables;
        default:
            return {};
    }
}

const char* security_keyword(int table, int code) {
    for (const SecKeyword& k : security_table(table))
        if (k.code == code) return k.text;
    return "<UNKNOWN>";
}

std::vector<SecKeyword> security_keyword_copy(int table, int filter) {
    std::vector<SecKeyword> copy;
    for (SecKeyword k : security_table(table)) {
        if (table != SEC_TABLE_OBJECTS) {
            const bool accepts = filter >= 0 && filter < 32 && (k.accepts & (1u << filter)) != 0;
            if (!accepts) k.text = " ";
        }
        copy.push_back(k);
    }
    return copy;
}

int security_code(int table, const std::string& keyword) {
    for (const SecKeyword& k : security_table(table))
        if (keyword == k.text) return k.code;
    return -1;
}

bool security_type_applies(int rule_type, int tested_type) {
    return tested_type == rule_type || tested_type == rule_type + 64 ||
           tested_type == rule_type + 128;
}

bool security_action_applies(int action, int tested_type) {
    const SecKeyword* entry = nullptr;
    for (const SecKeyword& k : kActions) {
        if (k.code == action) {
            entry = &k;
            break;
        }
    }
    if (entry == nullptr) return true;
    for (int g = 1; g < 32; ++g)
        if ((entry->accepts & (1u << g)) && security_type_applies(g, tested_type)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Scrambling

std::string security_block_key(const std::string& block_name) {
    std::string key = block_name.substr(0, std::min(block_name.find('\0'), block_name.size()));
    while (!key.empty() && key.back() == ' ')
        key.pop_back();
    if (key.size() > kSecMaxKey) key.resize(kSecMaxKey);
    if (key.empty()) key = kSecDefaultKey;
    return key;
}

namespace {

// The running key: every plain byte replaces the key character it was
// combined with; the position returns to the start at a zero key byte.
template <bool kScramble>
unsigned run_key(const std::string& key, std::uint8_t* data, std::size_t length) {
    std::uint8_t k[kSecMaxKey + 1] = {};
    const std::size_t n = std::min(key.size(), static_cast<std::size_t>(kSecMaxKey));
    std::memcpy(k, key.data(), n);
    if (n == 0 || k[0] == 0) {
        std::memcpy(k, kSecDefaultKey, std::strlen(kSecDefaultKey));
    }
    unsigned sum = 0;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t plain;
        if (kScramble) {
            plain = data[i];
            data[i] = static_cast<std::uint8_t>(plain ^ k[pos]);
        } else {
            plain = static_cast<std::uint8_t>(data[i] ^ k[pos]);
            data[i] = plain;
        }
        sum += plain;
        k[pos] = plain;
        ++pos;
        if (pos >= kSecMaxKey || k[pos] == 0) pos = 0;
    }
    return sum;
}

}  // namespace

unsigned unscramble_record(const std::string& key, std::uint8_t* data, std::size_t length) {
    return run_key<false>(key, data, length);
}

unsigned scramble_record(const std::string& key, std::uint8_t* data, std::size_t length) {
    return run_key<true>(key, data, length);
}

// ---------------------------------------------------------------------------
// Context

SecurityContext::~SecurityContext() {
    if (fd >= 0) plat::FH_close_file(fd);
    magic = 0;
}

bool register_object_type(SecurityContext& ctx, int type, SecDescribeFn describe, SecMatchFn match,
                          void* describe_data, void* match_data) {
    SecHandler h{type, describe, match, describe_data, match_data};
    for (SecHandler& old : ctx.handlers) {
        if (old.type == type) {
            old = h;
            return true;
        }
    }
    if (ctx.handlers.size() >= kSecMaxHandlers) return false;
    ctx.handlers.push_back(h);
    return true;
}

bool register_variable(SecurityContext& ctx, int code, SecVariableProvider provider, void* data) {
    SecVariable v{code, provider, data};
    for (SecVariable& old : ctx.variables) {
        if (old.code == code) {
            old = v;
            return true;
        }
    }
    if (ctx.variables.size() >= kSecMaxVariables) return false;
    ctx.variables.push_back(v);
    return true;
}

std::unique_ptr<SecurityContext> open_security(const SecurityOpenOptions& options,
                                               std::string& error_text) {
    error_text.clear();
    try {
        auto ctx = std::make_unique<SecurityContext>();
        if (options.user != nullptr) {
            ctx->user = *options.user;
        } else {
            get_user_identity(ctx->user);
        }
        if (options.identity_flags & kIdentityTestMode) ctx->user.super_user = true;
        ctx->this_cpu = cut_name(options.this_cpu, kSecCpuNameMax);
        ctx->master = cut_name(options.master, kSecCpuNameMax);
        ctx->long_names = options.long_names;

        register_variable(*ctx, SEC_VAR_THISCPU, var_thiscpu);
        register_variable(*ctx, SEC_VAR_MASTER, var_master);
        register_variable(*ctx, SEC_VAR_REMOTES, var_others);
        register_variable(*ctx, SEC_VAR_SLAVES, var_others);
        register_variable(*ctx, SEC_VAR_USER, var_user);
        register_variable(*ctx, SEC_VAR_OWNER, var_empty);
        register_variable(*ctx, SEC_VAR_JCLOWNER, var_empty);
        register_variable(*ctx, SEC_VAR_JCLLOGON, var_empty);
        register_variable(*ctx, SEC_VAR_USERGROUPS, var_groups);
        register_variable(*ctx, SEC_VAR_JCLGROUP, var_empty);
        register_variable(*ctx, SEC_VAR_SEC_FNAME, var_sec_fname);

        register_object_type(*ctx, SEC_OBJ_FILE, describe_file, match_file_record);
        for (int type : {SEC_OBJ_JOB, SEC_OBJ_SCHEDULE, SEC_OBJ_PROMPT, SEC_OBJ_RESOURCE,
                         SEC_OBJ_CPU, SEC_OBJ_CALENDAR, SEC_OBJ_PARAMETER, SEC_OBJ_USEROBJ,
                         SEC_OBJ_SYM_JOB, SEC_OBJ_SYM_SCHED, SEC_OBJ_SYM_MSG, SEC_OBJ_SYM_RSRC,
                         SEC_OBJ_SYM_CPU, SEC_OBJ_SYM_CAL, SEC_OBJ_SYM_USEROBJ, SEC_OBJ_SYM_MJOB}) {
            register_object_type(*ctx, type, describe_generic, match_generic_record);
        }

        if (!options.file.empty()) {
            open_file(*ctx, options.file);
        } else if (!open_file(*ctx, make_abs_path(std::string("../telvar/network/Security")))) {
            open_file(*ctx, make_abs_path(std::string("../telvar/Security")));
        }
        return ctx;
    } catch (const std::bad_alloc&) {
        char buf[kFormatBufSize];
        std::int16_t length = 0;
        format_msg(buf, &length, 1113, SEC_NO_CONTEXT);
        error_text.assign(buf, static_cast<std::size_t>(std::max<std::int16_t>(length, 0)));
        return nullptr;
    }
}

static_assert(kIdentityTestMode == ID_TEST_MODE);

std::unique_ptr<SecurityContext> open_security(const ProgramIdentity& identity, bool long_names,
                                               const std::string& this_cpu,
                                               const std::string& master, std::string& error_text) {
    SecurityOpenOptions options;
    options.identity_flags = identity.flags;
    options.long_names = long_names;
    options.this_cpu = this_cpu;
    options.master = master;
    return open_security(options, error_text);
}

int close_security(std::unique_ptr<SecurityContext>& ctx, std::string& error_text) {
    error_text.clear();
    int result = 0;
    if (valid_context(ctx.get()) && ctx->fd >= 0) {
        if (plat::FH_close_file(ctx->fd) != 0) {
            error_text = std::strerror(errno);
            result = -1;
        }
        ctx->fd = -1;
    }
    ctx.reset();
    return result;
}

SecurityError security_error(const SecurityContext* ctx) {
    if (ctx == nullptr) return {SEC_NO_CONTEXT, 0};
    if (!valid_context(ctx)) return {SEC_BAD_CONTEXT, 0};
    return {ctx->reason, ctx->error_number};
}

std::string security_error_text(const SecurityContext* ctx) {
    const SecurityError err = security_error(ctx);
    if (err.reason == 0) return "";
    char buf[kFormatBufSize];
    std::int16_t length = 0;
    if (!valid_context(ctx)) {
        format_msg(buf, &length, 1113, err.reason);
    } else {
        const char* action = security_keyword(SEC_TABLE_ACTIONS, ctx->action);
        const char* type = security_keyword(SEC_TABLE_OBJECTS, ctx->type);
        const MsgArg error_arg =
            err.error_number != 0 ? arg_typed(MA_ERRNO5, err.error_number) : arg_typed(MA_EMPTY, 0);
        format_msg(buf, &length, 1113, err.reason,
                   {arg_str(action), arg_str(type), arg_str(ctx->display.c_str()), error_arg});
    }
    return std::string(buf, static_cast<std::size_t>(std::max<std::int16_t>(length, 0)));
}

// ---------------------------------------------------------------------------
// Reading

long read_sec_header(SecurityContext& ctx) {
    std::uint8_t line[kSecHeaderSize];
    if (plat::FH_lseek_file(ctx.fd, 0, SEEK_SET) < 0) {
        set_reason(ctx, SEC_CANNOT_REWIND, errno);
        return -1;
    }
    const long n = read_at(ctx.fd, 0, line, sizeof line);
    if (n < 0) {
        set_reason(ctx, SEC_HEADER_UNREADABLE, errno);
        return -1;
    }
    if (n == 0) {
        set_reason(ctx, SEC_HEADER_UNREADABLE);
        return -1;
    }
    const auto* nl = static_cast<const std::uint8_t*>(std::memchr(line, '\n', n));
    const long line_length = nl != nullptr ? nl - line + 1 : n;
    if (line_length != kSecHeaderSize || line[kSecHeaderSize - 1] != '\n') {
        set_reason(ctx, SEC_HEADER_LENGTH);
        return -1;
    }
    if (line[0] != 'S' || line[1] != 'F') {
        set_reason(ctx, SEC_NOT_SF);
        return -1;
    }
    if (std::memcmp(line + 4, "0001", 4) != 0) {
        set_reason(ctx, SEC_BAD_VERSION);
        return -1;
    }
    const std::int64_t pos = plat::FH_lseek_file(ctx.fd, 0, SEEK_CUR);
    if (pos < 0) {
        set_reason(ctx, SEC_NO_POSITION, errno);
        return -1;
    }
    return static_cast<long>(pos);
}

long read_block_header(SecurityContext& ctx, std::int64_t offset, std::string& name) {
    std::uint8_t head[kSecBlockHeaderSize];
    const long n = read_at(ctx.fd, offset, head, sizeof head);
    if (n < 0) {
        set_reason(ctx, SEC_BLOCK_UNREADABLE, errno);
        return -1;
    }
    if (n == 0) {
        set_reason(ctx, SEC_NO_USER_BLOCK);
        return -1;
    }
    if (n < kSecBlockHeaderSize) {
        set_reason(ctx, SEC_BLOCK_UNREADABLE);
        return -1;
    }
    const long length = parse_hex4(head);
    // A block shorter than its own header would never move the search on.
    if (length < kSecBlockHeaderSize) {
        set_reason(ctx, SEC_BAD_LENGTH);
        return -1;
    }
    name.assign(reinterpret_cast<const char*>(head + 9), kSecBlockNameSize);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return length;
}

long read_sec_record(SecurityContext& ctx, std::int64_t offset, const std::string& key, int& type,
                     std::vector<std::uint8_t>& data) {
    std::uint8_t head[kSecRecordHeaderSize];
    data.clear();
    const long n = read_at(ctx.fd, offset, head, sizeof head);
    if (n < 0) {
        set_reason(ctx, SEC_RECORD_UNREADABLE, errno);
        return -1;
    }
    if (n < kSecRecordHeaderSize) {
        set_reason(ctx, SEC_RECORD_UNREADABLE);
        return -1;
    }
    const long length = parse_hex4(head);
    // A record shorter than its header would never move the reader on.
    if (length < kSecRecordHeaderSize) {
        set_reason(ctx, SEC_BAD_LENGTH);
        return -1;
    }
    const long checksum = parse_hex4(head + 4);
    if (checksum < 0) {
        set_reason(ctx, SEC_BAD_CHECKSUM_FIELD);
        return -1;
    }
    type = head[8];
    const long data_length = length - kSecRecordHeaderSize;
    if (data_length < 1) return 0;
    if (data_length > kSecMaxRecordData) {
        set_reason(ctx, SEC_RECORD_TOO_LONG);
        return -1;
    }
    try {
        data.resize(static_cast<std::size_t>(data_length));
    } catch (const std::bad_alloc&) {
        set_reason(ctx, SEC_NO_MEMORY, ENOMEM);
        return -1;
    }
    const long got = read_at(ctx.fd, offset + kSecRecordHeaderSize, data.data(), data.size());
    if (got < 0) {
        set_reason(ctx, SEC_DATA_UNREADABLE, errno);
        return -1;
    }
    if (got != data_length) {
        set_reason(ctx, SEC_DATA_UNREADABLE);
        return -1;
    }
    const unsigned sum = unscramble_record(key, data.data(), data.size());
    if (security_checksum(sum) != static_cast<unsigned>(checksum)) {
        set_reason(ctx, SEC_CHECKSUM_MISMATCH);
        return -1;
    }
    return data_length;
}

std::int64_t find_user_block(SecurityContext& ctx, const char* block_name) {
    if (ctx.fd < 0) {
        set_reason(ctx, SEC_NO_FILE, ctx.open_errno);
        return 0;
    }
    long first = read_sec_header(ctx);
    if (first < 0) return 0;
    std::int64_t offset = first;
    std::string name;
    std::vector<std::uint8_t> data;
    for (;;) {
        const long block_length = read_block_header(ctx, offset, name);
        if (block_length < 0) return 0;
        const std::string key = security_block_key(name);
        if (block_name != nullptr) {
            if (name == block_name) {
                ctx.block_key = key;
                return offset + kSecBlockHeaderSize;
            }
            offset += block_length;
            continue;
        }
        std::int64_t record = offset + kSecBlockHeaderSize;
        bool selected = false;
        for (;;) {
            int type = 0;
            const long n = read_sec_record(ctx, record, key, type, data);
            if (n < 0) return 0;
            record += kSecRecordHeaderSize + n;
            if (type == SEC_OBJ_USER) {
                if (!selected) {
                    const int m = match_user_record(ctx, data.data(), data.size());
                    if (m < 0) {
                        set_reason(ctx, SEC_BAD_USER_RESULT);
                        return 0;
                    }
                    selected = m == 1;
                }
                continue;
            }
            if (type != SEC_OBJ_BEGIN) {
                set_reason(ctx, SEC_UNEXPECTED_TYPE);
                return 0;
            }
            break;
        }
        if (selected) {
            ctx.block_key = key;
            return record;
        }
        offset += block_length;
    }
}

// ---------------------------------------------------------------------------
// Condition lists

bool parse_conditions(const std::uint8_t* data, std::size_t length, SecConditionList& out) {
    out = SecConditionList{};
    std::size_t pos = 0;
    while (pos < length) {
        const std::uint8_t sep = data[pos++];
        if (sep == '=') {
            out.has_actions = true;
            for (; pos < length; ++pos)
                out.actions.push_back(data[pos]);
            return true;
        }
        if (sep != '+' && sep != '~') return false;
        if (pos >= length) return false;
        SecCondition cond;
        cond.negated = sep == '~';
        cond.attribute = data[pos++];
        for (;;) {
            if (pos >= length) return false;
            const std::uint8_t b = data[pos++];
            SecValue value;
            if (b == kSecVariableMark) {
                if (pos >= length) return false;
                value.variable = true;
                value.code = data[pos++];
            } else {
                if (b == 0 || length - pos < b) return false;
                value.text.assign(reinterpret_cast<const char*>(data + pos), b);
                pos += b;
            }
            cond.values.push_back(std::move(value));
            if (pos < length && data[pos] == ',') {
                ++pos;
                continue;
            }
            break;
        }
        out.conditions.push_back(std::move(cond));
        if (pos < length && data[pos] != '+' && data[pos] != '~' && data[pos] != '=') return false;
    }
    return true;
}

bool security_variable_value(const SecurityContext& ctx, int code, int index, std::string& value,
                             bool* known) {
    for (const SecVariable& v : ctx.variables) {
        if (v.code == code && v.provider != nullptr) {
            if (known != nullptr) *known = true;
            return v.provider(ctx, index, value, v.data);
        }
    }
    if (known != nullptr) *known = false;
    return false;
}

int evaluate_conditions(const SecurityContext& ctx, const SecConditionList& list,
                        std::uint32_t known_attributes, SecAttributeMatch match,
                        const void* extra) {
    // An attribute the record type does not know makes the record not match,
    // wherever it stands.
    for (const SecCondition& cond : list.conditions) {
        if (cond.attribute >= 32 || (known_attributes & (1u << cond.attribute)) == 0) return 0;
    }
    for (const SecCondition& cond : list.conditions) {
        bool any = false;
        for (const SecValue& value : cond.values) {
            if (!value.variable) {
                any = match(ctx, cond.attribute, value.text, extra) == 1;
            } else {
                bool known = false;
                std::string v;
                for (int i = 0; security_variable_value(ctx, value.code, i, v, &known); ++i) {
                    if (match(ctx, cond.attribute, v, extra) == 1) {
                        any = true;
                        break;
                    }
                }
                if (!known) return -1;
            }
            if (any) break;
        }
        if (any == cond.negated) return 0;
    }
    return 1;
}

int match_user_record(const SecurityContext& ctx, const std::uint8_t* data, std::size_t length) {
    SecConditionList list;
    if (!parse_conditions(data, length, list) || list.has_actions) return -1;
    return evaluate_conditions(ctx, list, kUserAttributes, user_attribute_match, nullptr);
}

// ---------------------------------------------------------------------------
// FILE objects

std::string file_subject(const char* name) {
    if (name == nullptr) return "";
    const char* last = name;
    for (const char* p = name; *p != '\0'; ++p)
        if (is_separator(*p)) last = p + 1;
    std::string subject(last, std::min<std::size_t>(std::strlen(last), 32));
    subject = trim_right_copy(std::move(subject));
    const std::size_t dot = subject.find('.');
    if (dot != std::string::npos) subject.erase(dot);
    for (char& c : subject)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return subject;
}

std::string describe_file(const SecurityContext&, const char* name, void*) {
    if (name == nullptr) return "";
    std::string text = base_name(name);
    if (text.size() > kSecDisplaySize - 1) text.resize(kSecDisplaySize - 1);
    return text;
}

bool security_file_test(const char* path, int action) {
    if (path == nullptr) return false;
    int want = 4;
    const bool writes = action == SEC_ACT_BUILD || action == SEC_ACT_DELETE ||
                        action == SEC_ACT_DISPLAY || action == SEC_ACT_MODIFY;
    if (writes) want |= 2;
    plat::FileStatus st;
    std::string current = path;
    if (plat::FH_stat_file(current.c_str(), &st) == 0) return grants(current, st, want);
    if (action != SEC_ACT_BUILD && action != SEC_ACT_DISPLAY && action != SEC_ACT_MODIFY) {
        return false;
    }
    for (;;) {
        const std::size_t cut = current.find_last_of("/\\");
        if (cut == std::string::npos) return false;
        std::string parent = cut == 0 ? current.substr(0, 1) : current.substr(0, cut);
        if (parent == current) return false;
        current = std::move(parent);
        if (plat::FH_stat_file(current.c_str(), &st) == 0) return grants(current, st, want);
    }
}

int match_file_record(const SecurityContext& ctx, int action, int type, const char* name,
                      const std::uint8_t* rule, std::size_t length, void*) {
    if (type != SEC_OBJ_FILE) return 0;
    SecConditionList list;
    if (!parse_conditions(rule, length, list) || !list.has_actions) return 2;
    const std::string subject = file_subject(name);
    const int held =
        evaluate_conditions(ctx, list, kObjectAttributes, object_attribute_match, &subject);
    if (held < 0) return 2;
    if (held == 0) return 0;
    if (is_absolute_path(name) && !security_file_test(name, action)) return -1;
    return action_allowed(list, action) ? 1 : -1;
}

// ---------------------------------------------------------------------------
// The access check

bool check_access(SecurityContext* ctx, int action, int type, const char* name) {
    if (!valid_context(ctx)) return false;
    set_reason(*ctx, SEC_OK);
    ctx->action = action;
    ctx->type = type;
    ctx->display.clear();

    const SecHandler* handler = find_handler(*ctx, type);
    if (handler == nullptr || handler->match == nullptr) return refuse(*ctx, SEC_NO_HANDLER);

    if (ctx->fd < 0) {
        if (ctx->user.super_user) return true;
        return refuse(*ctx, SEC_NO_FILE, ctx->open_errno != 0 ? ctx->open_errno : ENOENT);
    }

    if (equal_ignore_case(ctx->user.full_name, "NT AUTHORITY\\SYSTEM") ||
        equal_ignore_case(ctx->user.full_name, "NT_AUTHORITY\\SYSTEM")) {
        return true;
    }

    if (!ctx->rules_tried) {
        ctx->rules_tried = true;
        bool loaded = false;
        try {
            loaded = load_rules(*ctx);
        } catch (const std::bad_alloc&) {
            set_reason(*ctx, SEC_NO_MEMORY, ENOMEM);
        }
        if (!loaded) {
            // A damaged file keeps refusing: later checks must not work on a
            // rule list that was only partly read.
            ctx->rules.clear();
            ctx->load_reason = ctx->reason != 0 ? ctx->reason : SEC_NO_USER_BLOCK;
            ctx->load_errno = ctx->error_number;
            return refuse(*ctx, ctx->load_reason, ctx->load_errno);
        }
    }
    if (ctx->load_reason != 0) return refuse(*ctx, ctx->load_reason, ctx->load_errno);

    if (!security_action_applies(action, type)) return true;

    if (name == nullptr || name[0] == '\0') return refuse(*ctx, SEC_NO_HANDLER);
    if (ctx->rules.empty()) return refuse(*ctx, SEC_NO_RULES);

    for (const SecRule& rule : ctx->rules) {
        if (!security_type_applies(rule.type, type)) continue;
        const int r = handler->match(*ctx, action, type, name, rule.data.data(), rule.data.size(),
                                     handler->match_data);
        if (r == 1) return true;
        if (r == -1) return refuse_object(*ctx, *handler, name);
        if (r != 0) return refuse(*ctx, SEC_BAD_MATCH_RESULT);
    }
    return refuse_object(*ctx, *handler, name);
}
