// Which files an input may make the tool read. A model names other files (buffers, materials,
// images) by paths of its own choosing: a file from anywhere could otherwise make the tool read,
// and copy beside its output, any file the user can read, or block on a FIFO or a device.
#ifndef WELDMESH_FILE_ACCESS_H
#define WELDMESH_FILE_ACCESS_H

#include "tool_error.h"

#include <string>

// Opens `path` for reading if it is a regular file, without ever blocking on a FIFO or a device.
// Returns the descriptor; throws ToolError naming `path` otherwise.
int open_regular_file(const std::string& path);

// True when `path` is `folder` or lies inside it once ".." and symbolic links are resolved.
bool lies_within(const std::string& path, const std::string& folder);

class ReadAccess {
  public:
    // Files inside `folder` (the folder of the input named on the command line, or the folder
    // named in batch mode) may be read; with `allowOutside`, any regular file. Refusals name
    // `input`, the file whose reference is refused.
    ReadAccess(std::string input, const std::string& folder, bool allowOutside);

    // True when `path` lies inside the folder once ".." and symbolic links are resolved, or
    // when files outside may be read. A path that does not exist is inside when its folder is.
    bool allows(const std::string& path) const;
    bool allows_outside() const { return allowOutside_; }

    // Opens a file the input refers to, as `reference` names it ("buffer 1 uri '../x.bin'"):
    // throws ToolError naming the input for a file outside the folder, and naming the file for
    // one that is not a regular file or cannot be opened.
    int open(const std::string& path, const std::string& reference) const;

    // The error that refuses `reference`, which names a file outside the folder.
    ToolError outside(const std::string& reference) const;

  private:
    std::string input_;
    std::string folder_; // resolved
    bool allowOutside_;
};

#endif
