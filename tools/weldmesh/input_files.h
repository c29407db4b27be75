// The files a model's reader opened, so that writing the result never replaces one of them.
#ifndef WELDMESH_INPUT_FILES_H
#define WELDMESH_INPUT_FILES_H

#include <string>
#include <vector>

// True when both paths name one existing file, through links or different spellings.
bool same_file(const std::string& a, const std::string& b);

// True when both paths name one file: the same device and inode where both exist, otherwise the
// same absolute path once symbolic links and "." and ".." are resolved.
bool same_destination(const std::string& a, const std::string& b);

class InputFiles {
  public:
    explicit InputFiles(std::string mainFile) : mainFile_(std::move(mainFile)) {}

    // Records a file that the reader opened or that the model refers to (a texture image).
    void add(const std::string& path);

    // The recorded file that writing `path` would replace, or nullptr.
    const std::string* find(const std::string& path) const;

    const std::string& main_file() const { return mainFile_; }

  private:
    std::string mainFile_;
    std::vector<std::string> files_;
};

#endif
