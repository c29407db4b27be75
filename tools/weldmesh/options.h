// The command line: the options, their parsing and the help text.
#ifndef WELDMESH_OPTIONS_H
#define WELDMESH_OPTIONS_H

#include "attribute_selection.h"
#include "contained_run.h"
#include "merge_limits.h"
#include "weld_report.h"

#include <string>
#include <vector>

extern const char kUsage[];

struct Options {
    // Single-file mode: one INPUT and OUTPUT. Batch mode (an output folder): every INPUT.
    std::vector<std::string> inputs;
    std::string output;
    std::string outputDir;
    std::string outputExtension; // batch mode: the output format's extension, without its dot
    unsigned jobs = 0;           // batch mode: files at once; 0 for one per core
    std::string formatId;
    AttributeSelection attributes;
    MergeLimits merge;
    Verbosity verbosity = Verbosity::normal;
    bool triangulate = false;
    bool allowOutsideReferences = false;
    JobLimits limits = {300, 0};
    bool memoryLimitGiven = false;
};

bool is_batch(const Options& options);

// One file to weld, in either mode.
struct FileJob {
    std::string input;
    std::string output;
    std::string folder;  // files the input refers to outside it are refused
    bool walked = false; // found by walking a folder: a file with nothing to weld is skipped
};

enum class ParseOutcome { run, exitSuccess, usageError };

// Parses the command line; prints the help or the version (exitSuccess) or one line saying what
// is wrong (usageError).
ParseOutcome parse_options(int argc, char** argv, Options& options);

// The address space a run may take by default for `input`.
unsigned long long default_memory_limit(const std::string& input);

#endif
