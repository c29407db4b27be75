// The command line: the options, their parsing and the help text.
#ifndef WELDMESH_OPTIONS_H
#define WELDMESH_OPTIONS_H

#include "attribute_selection.h"
#include "contained_run.h"
#include "weld_report.h"

#include <string>

extern const char kUsage[];

struct Options {
    std::string input;
    std::string output;
    std::string formatId;
    AttributeSelection attributes;
    Verbosity verbosity = Verbosity::normal;
    bool triangulate = false;
    bool allowOutsideReferences = false;
    JobLimits limits = {300, 0};
    bool memoryLimitGiven = false;
};

enum class ParseOutcome { run, exitSuccess, usageError };

// Parses the command line; prints the help or the version (exitSuccess) or one line saying what
// is wrong (usageError).
ParseOutcome parse_options(int argc, char** argv, Options& options);

// The address space a run may take by default for `input`.
unsigned long long default_memory_limit(const std::string& input);

#endif
