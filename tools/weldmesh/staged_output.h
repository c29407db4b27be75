// Writes an export's files under temporary names and renames them only once all are complete.
#ifndef WELDMESH_STAGED_OUTPUT_H
#define WELDMESH_STAGED_OUTPUT_H

#include <assimp/DefaultIOSystem.h>

#include <string>
#include <utility>
#include <vector>

// Some formats write several files (a .gltf and its .bin, an .obj and its .mtl), each named
// after the output path, so every file opened for writing is staged, not just the main one.
class StagedOutputSystem : public Assimp::DefaultIOSystem {
  public:
    Assimp::IOStream* Open(const char* path, const char* mode = "rb") override;

    // Renames every staged file to its final name. Fails, removing them all, when one of the
    // final names is the file `protectedPath` names (however it is spelled) or a rename fails.
    bool commit(const std::string& protectedPath, std::string& error);
    void discard();

  private:
    struct StagedFile {
        std::string finalPath;
        std::string stagingPath;
    };
    std::vector<StagedFile> files_;
};

// True when both paths name one existing file, through links or different spellings.
bool same_file(const std::string& a, const std::string& b);

#endif
