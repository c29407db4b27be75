// The URIs of a glTF document: data URIs, relative references to files, and the base64 and
// percent encodings they use.
#ifndef WELDMESH_GLTF_URI_H
#define WELDMESH_GLTF_URI_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace gltf {

// "scheme:..." (data:, file:, http:, ...), as opposed to a relative reference or a path.
bool has_scheme(std::string_view uri);
bool is_data_uri(std::string_view uri);

// A data URI split at its comma: `prefix` up to and including "base64,", `media` what stands
// between "data:" and ";base64". False when the URI is not base64, which glTF requires.
bool split_data_uri(std::string_view uri, std::string_view& prefix, std::string_view& media,
                    std::string_view& payload);

// Strict base64: only the 64 digits, padding only at the end, no length a digit too long. False
// for anything else.
bool base64_decode(std::string_view text, std::vector<uint8_t>& bytes);
std::string base64_encode(const uint8_t* data, size_t size);

std::string percent_decode(std::string_view uri);
std::string percent_encode(std::string_view path);

// The path a file: URI names ("file:///a/b" or "file://localhost/a/b"), or an empty string for
// one that names another host.
std::string file_uri_path(std::string_view uri);

// The URI of the file that `uri` names from `fromDir`, as seen from `toDir`.
std::string rebased_uri(const std::string& uri, const std::filesystem::path& fromDir,
                        const std::filesystem::path& toDir);

} // namespace gltf

#endif
