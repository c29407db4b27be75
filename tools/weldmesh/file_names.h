// File names as the tool reads them: the extension chooses the format.
#ifndef WELDMESH_FILE_NAMES_H
#define WELDMESH_FILE_NAMES_H

#include <cctype>
#include <filesystem>
#include <string>

// The extension of `path`, lower case and with its dot (".glb"), or an empty string.
inline std::string lower_extension(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

#endif
