// The tool's one error type: what went wrong, with which file, and of what kind. Thrown where
// the fault is found and turned into its line once, where it is printed.
#ifndef WELDMESH_TOOL_ERROR_H
#define WELDMESH_TOOL_ERROR_H

#include <stdexcept>
#include <string>

enum class ErrorKind {
    badInput,    // the file cannot be read safely or is not what it claims to be
    unreadable,  // the file system refused a read
    unwritable,  // the file system refused a write
    outOfMemory, // reported as running out of memory, with the limit in force
};

class ToolError : public std::runtime_error {
  public:
    ToolError(ErrorKind kind, std::string file, const std::string& message)
        : std::runtime_error(file + ": " + message), kind_(kind), file_(std::move(file)),
          message_(message) {}

    ErrorKind kind() const { return kind_; }
    const std::string& file() const { return file_; }
    const std::string& message() const { return message_; }

  private:
    ErrorKind kind_;
    std::string file_;
    std::string message_;
};

#endif
