// The Security file and the access check.
//
// The compiled Security file is a 29-byte header line followed by user
// blocks. A block is a 45-byte header (length, "0000", the USER type byte and
// a 36-character name) and its records: USER records that say whom the block
// is for, BEGIN, object rules, END. Every record is a 9-byte header (length,
// checksum, type byte) and scrambled data. The first block whose USER records
// select the current user holds that user's rules; the first of its rules
// that matches an object decides whether an action on it is allowed.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "utils/libs/sysutils.h"

// ---------------------------------------------------------------------------
// Keyword tables

enum : int {
    SEC_TABLE_OBJECTS = 0,
    SEC_TABLE_ACTIONS = 1,
    SEC_TABLE_ATTRIBUTES = 2,
    SEC_TABLE_VARIABLES = 3,
};

// Object type codes.
enum : int {
    SEC_OBJ_JOB = 1,
    SEC_OBJ_SCHEDULE = 2,
    SEC_OBJ_PROMPT = 3,
    SEC_OBJ_RESOURCE = 4,
    SEC_OBJ_CPU = 5,
    SEC_OBJ_CALENDAR = 6,
    SEC_OBJ_SECURITY = 7,
    SEC_OBJ_PARAMETER = 8,
    SEC_OBJ_FILE = 9,
    SEC_OBJ_USER = 10,
    SEC_OBJ_BEGIN = 11,
    SEC_OBJ_END = 12,
    SEC_OBJ_IS = 13,
    SEC_OBJ_ACCESS = 14,
    SEC_OBJ_USEROBJ = 15,
    SEC_OBJ_SYM_JOB = 65,
    SEC_OBJ_SYM_SCHED = 66,
    SEC_OBJ_SYM_MSG = 67,
    SEC_OBJ_SYM_RSRC = 68,
    SEC_OBJ_SYM_CPU = 69,
    SEC_OBJ_SYM_CAL = 70,
    SEC_OBJ_SYM_USEROBJ = 71,
    SEC_OBJ_SYM_MJOB = 129,
    SEC_OBJ_LAST = 192,  // end marker of the object table, no keyword
};

// Action codes used by the programs.
enum : int {
    SEC_ACT_CLEAN = 4,
    SEC_ACT_BUILD = 4,
    SEC_ACT_DELETE = 9,
    SEC_ACT_DISPLAY = 10,
    SEC_ACT_KILL = 12,
    SEC_ACT_MODIFY = 15,
};

// Attribute codes.
enum : int {
    SEC_ATTR_JCL = 1,
    SEC_ATTR_JCLLOGON = 2,
    SEC_ATTR_JCLOWNER = 3,
    SEC_ATTR_JCLGROUP = 4,
    SEC_ATTR_LOGON = 5,
    SEC_ATTR_NAME = 6,
    SEC_ATTR_OWNER = 7,
    SEC_ATTR_GROUP = 8,
    SEC_ATTR_JCLACCESS = 9,
    SEC_ATTR_PASSWORD = 10,
    SEC_ATTR_CPU = 11,
};

// Variable codes.
enum : int {
    SEC_VAR_THISCPU = 0,
    SEC_VAR_MASTER = 1,
    SEC_VAR_REMOTES = 2,
    SEC_VAR_SLAVES = 3,
    SEC_VAR_USER = 4,
    SEC_VAR_OWNER = 5,
    SEC_VAR_JCLOWNER = 6,
    SEC_VAR_JCLLOGON = 7,
    SEC_VAR_USERGROUPS = 8,
    SEC_VAR_JCLGROUP = 9,
    SEC_VAR_SEC_FNAME = 10,
};

// One keyword of a table. `accepts` is a bit set: for an action the object
// types it applies to, for an attribute the object types that accept it, for
// a variable the attributes whose values may use it (bit n for code n). For an
// object, `must_name` is the attribute a statement of that type must name
// (0 for none); for an attribute, `upper` says the compiler stores its values
// in upper case.
struct SecKeyword {
    const char* text;
    int code;
    std::uint32_t accepts;
    int must_name;
    bool upper;
};

std::span<const SecKeyword> security_table(int table);
// The keyword of the first entry of the table with the code, or "<UNKNOWN>".
const char* security_keyword(int table, int code);
// A copy of the table in which every entry that does not accept the filter
// (an object type for actions and attributes, an attribute for variables) has
// the text " ". The object table is copied whole.
std::vector<SecKeyword> security_keyword_copy(int table, int filter);
// The code of a keyword (exact, upper case), or -1.
int security_code(int table, const std::string& keyword);
// True when a rule of object type `rule_type` applies to a tested type: the
// same type, or its plan counterpart (+64) or (+128).
bool security_type_applies(int rule_type, int tested_type);
// True when the action applies to the tested type. An action missing from the
// table applies to every type.
bool security_action_applies(int action, int tested_type);

// ---------------------------------------------------------------------------
// File layout

constexpr int kSecHeaderSize = 29;  // header line with its newline
constexpr int kSecBlockHeaderSize = 45;
constexpr int kSecBlockNameSize = 36;
constexpr int kSecRecordHeaderSize = 9;
constexpr int kSecMaxRecordData = 1024;
constexpr int kSecMaxKey = 63;
constexpr const char* kSecDefaultKey = "vemqad";
constexpr unsigned char kSecVariableMark = 255;
constexpr int kSecMaxValueLength = 254;

// The scrambling key of a block: its name up to the first zero byte, without
// trailing blanks, at most 63 characters; "vemqad" when that leaves nothing.
std::string security_block_key(const std::string& block_name);
// Unscrambles data in place with the running key; returns the sum of the
// plain bytes.
unsigned unscramble_record(const std::string& key, std::uint8_t* data, std::size_t length);
// Scrambles plain data in place; returns the sum of the plain bytes.
unsigned scramble_record(const std::string& key, std::uint8_t* data, std::size_t length);
// The checksum field's value for a sum: the low 16 bits.
inline unsigned security_checksum(unsigned sum) {
    return sum & 0xFFFFu;
}

// ---------------------------------------------------------------------------
// Reason codes (the message numbers of set 1113)

enum : int {
    SEC_OK = 0,
    SEC_BAD_CONTEXT = 1,
    SEC_NO_CONTEXT = 2,
    SEC_NO_HANDLER = 4,
    SEC_REFUSED = 5,
    SEC_BAD_LENGTH = 7,
    SEC_BAD_CHECKSUM_FIELD = 8,
    SEC_RECORD_TOO_LONG = 9,
    SEC_DATA_UNREADABLE = 10,
    SEC_CHECKSUM_MISMATCH = 11,
    SEC_BAD_MATCH_RESULT = 12,
    SEC_UNEXPECTED_TYPE = 13,
    SEC_BLOCK_UNREADABLE = 14,
    SEC_RECORD_UNREADABLE = 15,
    SEC_BAD_USER_RESULT = 16,
    SEC_NO_USER_BLOCK = 18,
    SEC_HEADER_UNREADABLE = 19,
    SEC_NO_POSITION = 20,
    SEC_NOT_SF = 21,
    SEC_BAD_VERSION = 22,
    SEC_HEADER_LENGTH = 23,
    SEC_NO_MEMORY = 24,
    SEC_NO_FILE = 25,
    SEC_CANNOT_REWIND = 26,
    SEC_NO_RULES = 27,
};

// ---------------------------------------------------------------------------
// Security context

constexpr std::uint32_t kSecurityMagic = 0x53454346;  // "SECF"
constexpr int kSecMaxVariables = 12;
constexpr int kSecMaxHandlers = 26;
constexpr int kSecDisplaySize = 32;  // display text with its terminator
constexpr int kSecCpuNameMax = 16;

// The identity record's test-mode flag: the user counts as a super user.
constexpr unsigned kIdentityTestMode = 0x2;

struct SecurityContext;

// Yields value number `index` (from 0) of a variable into `value`; false when
// there is none.
using SecVariableProvider = bool (*)(const SecurityContext& ctx, int index, std::string& value,
                                     void* data);
// The display text of an object (at most 31 characters).
using SecDescribeFn = std::string (*)(const SecurityContext& ctx, const char* name, void* data);
// Matches a rule's plain data against an object and action: 1 allow, -1
// refuse, 0 the rule does not match, anything else a fault.
using SecMatchFn = int (*)(const SecurityContext& ctx, int action, int type, const char* name,
                           const std::uint8_t* rule, std::size_t length, void* data);

struct SecVariable {
    int code = -1;
    SecVariableProvider provider = nullptr;
    void* data = nullptr;
};

struct SecHandler {
    int type = -1;
    SecDescribeFn describe = nullptr;
    SecMatchFn match = nullptr;
    void* describe_data = nullptr;
    void* match_data = nullptr;
};

struct SecRule {
    int type = 0;
    std::vector<std::uint8_t> data;  // plain
};

struct SecurityContext {
    std::uint32_t magic = kSecurityMagic;

    // The Security file: -1 when the run has none.
    int fd = -1;
    std::string file_name;  // the path tried last
    int open_errno = 0;     // why the last path did not open

    UserIdentity user;
    std::string this_cpu;  // at most 16 characters, trailing white space removed
    std::string master;
    bool long_names = false;

    std::vector<SecVariable> variables;
    std::vector<SecHandler> handlers;

    std::vector<SecRule> rules;
    bool rules_tried = false;  // the first check loaded (or failed to load) the rules
    int load_reason = 0;       // the reason a failed load left, repeated by later checks
    int load_errno = 0;
    std::string block_key;  // key of the block found last

    int action = -1;
    int type = -1;
    std::string display;  // the object of the last refusal
    int reason = 0;
    int error_number = 0;

    SecurityContext() = default;
    SecurityContext(const SecurityContext&) = delete;
    SecurityContext& operator=(const SecurityContext&) = delete;
    ~SecurityContext();
};

struct SecurityOpenOptions {
    unsigned identity_flags = 0;  // the identity record's flags (test mode)
    bool long_names = false;      // the master database uses 16-character names
    std::string this_cpu;         // this workstation's name
    std::string master;           // the master workstation's name
    // The user to check; null takes the running user (get_user_identity).
    const UserIdentity* user = nullptr;
    // The Security file; empty takes the installation's: ../telvar/network/Security,
    // else ../telvar/Security, below the home directory.
    std::string file;
};

// Creates the security context. A missing Security file is no failure. Null
// only when memory runs out; error_text then holds message 1113/2.
std::unique_ptr<SecurityContext> open_security(const SecurityOpenOptions& options,
                                               std::string& error_text);
// The same for the running user and the installation's Security file, with
// the identity record filled at start-up (its test-mode flag) and whether the
// master database uses long names.
struct ProgramIdentity;
std::unique_ptr<SecurityContext> open_security(const ProgramIdentity& identity, bool long_names,
                                               const std::string& this_cpu,
                                               const std::string& master, std::string& error_text);
// True when the action on the object is allowed. On refusal the reason code
// and error number stay in the context.
bool check_access(SecurityContext* ctx, int action, int type, const char* name);

struct SecurityError {
    int reason = 0;
    int error_number = 0;
};
// The last reason code and error number; reason 2 for no context, 1 for an
// invalid one.
SecurityError security_error(const SecurityContext* ctx);
// Message 1113/reason with the action, the object type, the object's display
// text and, when an error number was recorded, its text.
std::string security_error_text(const SecurityContext* ctx);
// Closes the file and frees the context. 0, or -1 with the close failure's
// text in error_text (the context is freed all the same).
int close_security(std::unique_ptr<SecurityContext>& ctx, std::string& error_text);

// Install or replace by code; false when the table is full.
bool register_object_type(SecurityContext& ctx, int type, SecDescribeFn describe, SecMatchFn match,
                          void* describe_data = nullptr, void* match_data = nullptr);
bool register_variable(SecurityContext& ctx, int code, SecVariableProvider provider,
                       void* data = nullptr);

// ---------------------------------------------------------------------------
// Reading the file (each failure leaves its reason in the context)

// The offset of the first user block (29), or -1.
long read_sec_header(SecurityContext& ctx);
// The block length, with the name without trailing blanks; -1 on failure.
long read_block_header(SecurityContext& ctx, std::int64_t offset, std::string& name);
// The data length (0 for BEGIN and END), with the type and the plain data;
// the next record starts at offset + 9 + the data length. -1 on failure.
long read_sec_record(SecurityContext& ctx, std::int64_t offset, const std::string& key, int& type,
                     std::vector<std::uint8_t>& data);
// Without a block name: the offset just after the BEGIN record of the first
// block whose USER records select the user, its key left in ctx.block_key.
// With a name: the offset of the first record of the block of that name.
// 0 when no block applies or on failure.
std::int64_t find_user_block(SecurityContext& ctx, const char* block_name = nullptr);
// 1 when the USER record's plain data selects the current user, 0 when it
// does not, -1 when the data is malformed.
int match_user_record(const SecurityContext& ctx, const std::uint8_t* data, std::size_t length);

// ---------------------------------------------------------------------------
// Condition lists

struct SecValue {
    bool variable = false;
    int code = 0;      // variable code
    std::string text;  // literal value
};

struct SecCondition {
    bool negated = false;
    int attribute = 0;
    std::vector<SecValue> values;
};

struct SecConditionList {
    std::vector<SecCondition> conditions;
    bool has_actions = false;  // the '=' that ends the conditions of an object rule
    std::vector<int> actions;
};

// Parses plain record data; false when it is malformed (a value that runs past
// the end, a zero length, an unknown separator, a missing value).
bool parse_conditions(const std::uint8_t* data, std::size_t length, SecConditionList& out);

// Matches one pattern of an attribute: 1 it matches, 0 it does not.
using SecAttributeMatch = int (*)(const SecurityContext& ctx, int attribute,
                                  const std::string& pattern, const void* extra);
// Evaluates parsed conditions. A condition on an attribute outside
// `known_attributes` (bit n for code n) makes the record not match. A
// condition holds when any of its values matches (a variable tries each of
// its values), a negated one when none does. 1 all hold, 0 not, -1 a variable
// without a provider.
int evaluate_conditions(const SecurityContext& ctx, const SecConditionList& list,
                        std::uint32_t known_attributes, SecAttributeMatch match, const void* extra);

// Yields the values of a variable one by one; false when there is no value
// with that index, or no provider for the code (`known` tells which).
bool security_variable_value(const SecurityContext& ctx, int code, int index, std::string& value,
                             bool* known = nullptr);

// ---------------------------------------------------------------------------
// FILE objects

// The match function of FILE rules.
int match_file_record(const SecurityContext& ctx, int action, int type, const char* name,
                      const std::uint8_t* rule, std::size_t length, void* data);
// The describe function of FILE objects: the part after the last separator, at
// most 31 characters.
std::string describe_file(const SecurityContext& ctx, const char* name, void* data);
// The subject a FILE name is matched by: the last component, at most 32
// characters, trailing white space removed, cut before its first full stop,
// upper case.
std::string file_subject(const char* name);
// The file test of absolute names: whether the action's accesses are granted.
bool security_file_test(const char* path, int action);
