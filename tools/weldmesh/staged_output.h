// The files of one export, written into a private staging directory and moved to their final
// names only once the whole export has succeeded.
#ifndef WELDMESH_STAGED_OUTPUT_H
#define WELDMESH_STAGED_OUTPUT_H

#include "input_files.h"

#include <cstdio>
#include <string>
#include <vector>

// Some formats write several files (a .gltf and its .bin, an .obj and its .mtl), each named
// after the output path, so every file an export opens is staged, not just the main one.
class StagedOutputs {
  public:
    // `directory` is the staging directory; no file `inputs` holds may become an output.
    StagedOutputs(std::string directory, const InputFiles& inputs)
        : directory_(std::move(directory)), inputs_(inputs) {}
    ~StagedOutputs();
    StagedOutputs(const StagedOutputs&) = delete;
    StagedOutputs& operator=(const StagedOutputs&) = delete;

    // A new file for writing, created in the staging directory for `finalPath`. Returns
    // nullptr, with error() set, when `finalPath` is a file the input reads or one this export
    // opened already, or when the file cannot be created.
    std::FILE* open(const std::string& finalPath);

    // Records a failed write to `file` with its errno; the first failure is what finish reports.
    void note_write_error(std::FILE* file, int errnum);

    // Closes every file and lists them for commit_staged_outputs. False, with error() set, when
    // a write or a close failed.
    bool finish();

    // The first failure, as "FILE: reason".
    const std::string& error() const { return error_; }

  private:
    struct File {
        std::string finalPath;
        std::FILE* stream;
        int errnum;
    };
    std::string staged_path(size_t index) const;
    void fail(const std::string& path, const std::string& reason);

    std::string directory_;
    const InputFiles& inputs_;
    std::vector<File> files_;
    std::string error_;
};

// Moves the files a finished export staged in `directory` to their final names, all or none:
// every target is checked first, and each file a move replaces is kept until all moves have
// succeeded. False, with `error` set, when one cannot be moved; every file is then as it was.
bool commit_staged_outputs(const std::string& directory, std::string& error);

#endif
