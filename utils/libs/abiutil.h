// The component registry: a text file listing the installed components, one
// per line of four fields (product name, version, path, group) separated by
// any run of blanks, commas, tabs or line feeds. Its location is the value of
// the environment variable TELVAR_COMPONENT_FILE.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "utils/libs/voropts.h"

// Results of find_component.
enum : int {
    COMP_NO_ERROR = 0,
    COMP_FILE_NOT_FOUND = 1,
    COMP_FILE_PERMISSION_ERROR = 2,
    COMP_FILE_READ_ERROR = 3,
    COMP_FILE_WRITE_ERROR = 4,
    COMP_FILE_CREATE_ERROR = 5,
    COMP_FILE_OPEN_ERROR = 6,
    COMP_FILE_NAME_INVALID_ERROR = 8,
    COMP_PRODUCT_NOT_FOUND = 20,
    COMP_GROUP_NOT_FOUND = 21,
    COMP_VERSION_NOT_FOUND = 22,
    COMP_VERSION_ERROR = 23,
    COMP_NEWER_OR_SAME_EXISTS = 24,
    COMP_BUFFER_OVERFLOW = 50,
    COMP_BAD_ARGUMENTS = 100,
    COMP_UNEXPECTED_ERROR = 65535,
};

// Lookup flags.
enum : long {
    COMP_EXACT_VERSION = 1,  // the version must be equal
    COMP_MAJOR_VERSION = 2,  // the major version (the part before the first '.') must be equal
};

constexpr const char* kComponentFileVariable = "TELVAR_COMPONENT_FILE";
constexpr int kComponentLineMax = 1150;  // longer lines are cut here
constexpr int kComponentPathMax = 1024;  // the path limit of installation_group

// Product numbers of the fixed product table.
enum : int { PRODUCT_VORTAN = 2 };
// The name of a product number ("VORTAN" for 2); null for an unknown number.
const char* product_name(int number);

// What a lookup looks for, taken from the record and the path at the first
// call and kept for the calls that go on scanning.
struct ComponentCriteria {
    std::string product;
    std::string group;
    std::string version;
    std::string path;
    long flags = 0;
};

// A component lookup: the caller fills the criteria, a match fills in the
// line's product, version and group. Product and group are criteria when not
// empty; the version only with COMP_EXACT_VERSION or COMP_MAJOR_VERSION in
// flags. The registry stays open in the record between calls, until a match
// with close_on_match set, the end of the file or an error.
struct ComponentInfo {
    long flags = 0;
    std::string componentFilePath;  // empty: from TELVAR_COMPONENT_FILE
    std::string product;
    std::string group;
    std::string version;
    bool close_on_match = true;
    OptionsFile file{};          // the open registry
    ComponentCriteria wanted{};  // set by the first call
};

// Scans the registry for the next line that matches every criterion (product,
// group and path compared case-insensitively as whole strings). path, when not
// empty, is a criterion and receives the matching line's path. first_call
// (re)opens the registry and takes the criteria; later calls go on after the
// previous match with the same criteria. A version without a version flag
// prints "Exact or Major version flag should be specified" to standard error
// and matches nothing. Results:
//   0  match;  20  no (further) match;
//   1  no registry named, or it does not exist;  2  it cannot be read;
//   6  it cannot be examined or opened;  8  it is not a regular file;
//   3  read error;  50  a line's path is longer than path_limit characters;
//   100  path_limit is negative.
int find_component(ComponentInfo& ci, std::string& path, int path_limit, bool first_call);

// "%d=NAME" for a known result code, else "%d, No error code for this number".
std::string component_result_text(int code);

// The diagnostic print of a lookup record.
void print_component_info(const ComponentInfo& ci, std::FILE* out);

// The group of this installation: the first registry line for the product
// whose path is the home directory. On failure issues message 1100/53
// (product name and path) and leaves group empty. Returns the lookup result.
int installation_group(std::string& group, int product_number = PRODUCT_VORTAN);
