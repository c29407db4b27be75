// Loaded with LD_PRELOAD in front of the GL library: answers the integer queries listed in the
// environment variable GL_SCRIPT with scripted values, hands every other query to the real GL,
// and appends each queried enumerant to the file named by GL_SCRIPT_LOG.
//
// GL_SCRIPT holds entries separated by spaces, each an enumerant, '=' and the values to write,
// separated by commas: "0x9048=8192 0x87FB=100,1,2,3".
#include <GL/gl.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool answer_from_script(GLenum pname, GLint* data) {
    const char* entry = std::getenv("GL_SCRIPT");
    while (entry != nullptr && *entry != '\0') {
        char* end = nullptr;
        const bool wanted = std::strtoul(entry, &end, 0) == pname;
        if (end == entry || *end != '=') {
            std::fprintf(stderr, "GL_SCRIPT: malformed entry at \"%s\"\n", entry);
            std::abort();
        }
        GLint* out = data;
        do {
            const long value = std::strtol(end + 1, &end, 0);
            if (wanted) {
                *out++ = static_cast<GLint>(value);
            }
        } while (*end == ',');
        if (wanted) {
            return true;
        }
        entry = end + std::strspn(end, " ");
    }
    return false;
}

void log_query(GLenum pname) {
    const char* path = std::getenv("GL_SCRIPT_LOG");
    if (path == nullptr) {
        return;
    }
    std::FILE* log = std::fopen(path, "a");
    if (log == nullptr) {
        std::perror(path);
        std::abort();
    }
    std::fprintf(log, "0x%04X\n", pname);
    std::fclose(log);
}

} // namespace

extern "C" void glGetIntegerv(GLenum pname, GLint* data) {
    log_query(pname);
    if (answer_from_script(pname, data)) {
        return;
    }
    using GetIntegerv = void (*)(GLenum, GLint*);
    static const auto real = reinterpret_cast<GetIntegerv>(dlsym(RTLD_NEXT, "glGetIntegerv"));
    real(pname, data);
}
