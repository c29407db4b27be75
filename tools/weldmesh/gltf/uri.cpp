#include "uri.h"

#include <cctype>
#include <cstring>

namespace fs = std::filesystem;

namespace gltf {

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

} // namespace

bool has_scheme(std::string_view uri) {
    const size_t colon = uri.find(':');
    return colon != std::string_view::npos && colon > 0 && uri.find_first_of("/?#") > colon &&
           std::isalpha(static_cast<unsigned char>(uri[0]));
}

bool is_data_uri(std::string_view uri) {
    return uri.substr(0, 5) == "data:";
}

bool split_data_uri(std::string_view uri, std::string_view& prefix, std::string_view& media,
                    std::string_view& payload) {
    const std::string_view marker = ";base64";
    const size_t comma = uri.find(',');
    if (!is_data_uri(uri) || comma == std::string_view::npos || comma < 5 + marker.size() ||
        uri.substr(comma - marker.size(), marker.size()) != marker)
        return false;
    prefix = uri.substr(0, comma + 1);
    media = uri.substr(5, comma - marker.size() - 5);
    payload = uri.substr(comma + 1);
    return true;
}

bool base64_decode(std::string_view text, std::vector<uint8_t>& bytes) {
    int values[256];
    std::fill(values, values + 256, -1);
    for (int i = 0; i < 64; ++i)
        values[static_cast<unsigned char>(kBase64[i])] = i;
    size_t digits = text.size();
    while (digits > 0 && text.size() - digits < 2 && text[digits - 1] == '=')
        --digits;
    const bool padded = digits < text.size();
    if (digits % 4 == 1 || (padded && text.size() % 4 != 0))
        return false;
    bytes.clear();
    bytes.reserve(digits / 4 * 3 + 2);
    uint32_t bits = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int value = values[static_cast<unsigned char>(text[i])];
        if (value < 0)
            return false;
        bits = (bits << 6) | uint32_t(value);
        if (i % 4 == 3) {
            bytes.push_back(uint8_t(bits >> 16));
            bytes.push_back(uint8_t(bits >> 8));
            bytes.push_back(uint8_t(bits));
            bits = 0;
        }
    }
    if (digits % 4 == 2)
        bytes.push_back(uint8_t(bits >> 4));
    else if (digits % 4 == 3) {
        bytes.push_back(uint8_t(bits >> 10));
        bytes.push_back(uint8_t(bits >> 2));
    }
    return true;
}

std::string base64_encode(const uint8_t* data, size_t size) {
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const uint32_t bits = uint32_t(data[i]) << 16 | (i + 1 < size ? data[i + 1] << 8 : 0) |
                              (i + 2 < size ? data[i + 2] : 0);
        text += kBase64[bits >> 18];
        text += kBase64[(bits >> 12) & 63];
        text += i + 1 < size ? kBase64[(bits >> 6) & 63] : '=';
        text += i + 2 < size ? kBase64[bits & 63] : '=';
    }
    return text;
}

std::string percent_decode(std::string_view uri) {
    std::string decoded;
    decoded.reserve(uri.size());
    for (size_t i = 0; i < uri.size(); ++i) {
        const int high = uri[i] == '%' && i + 2 < uri.size() ? hex_digit(uri[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(uri[i + 2]) : -1;
        if (low >= 0) {
            decoded += char(high << 4 | low);
            i += 2;
        } else {
            decoded += uri[i];
        }
    }
    return decoded;
}

std::string percent_encode(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : path) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || std::strchr("-._~/!$&'()*+,;=@", c))
            encoded += c;
        else
            encoded += {'%', hex[byte >> 4], hex[byte & 15]};
    }
    return encoded;
}

std::string file_uri_path(std::string_view uri) {
    std::string_view rest = uri.substr(5); // after "file:"
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const size_t slash = rest.find('/');
        const std::string_view host = rest.substr(0, slash);
        if (!host.empty() && host != "localhost")
            return "";
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    return percent_decode(rest);
}

std::string rebased_uri(const std::string& uri, const fs::path& fromDir, const fs::path& toDir) {
    if (uri.empty() || has_scheme(uri) || uri[0] == '/')
        return uri;
    std::error_code error;
    const fs::path from =
        fs::weakly_canonical(fs::absolute(fromDir.empty() ? "." : fromDir), error);
    const fs::path to = fs::weakly_canonical(fs::absolute(toDir.empty() ? "." : toDir), error);
    if (from == to)
        return uri;
    const fs::path target = (from / percent_decode(uri)).lexically_normal();
    return percent_encode(target.lexically_relative(to).generic_string());
}

} // namespace gltf
