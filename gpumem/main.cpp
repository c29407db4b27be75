// Prints the video-memory figures that the NVIDIA and ATI memory-information extensions report for
// the GPU behind a GLUT-created GL context. Both groups are always queried; only the one the
// driver supports gives meaningful figures.
#include <GL/glut.h>

#include <GL/glext.h>

#include <algorithm>
#include <cstdio>
#include <iterator>

// "In use" wraps around like 32-bit hardware arithmetic instead of overflowing when the driver
// reports figures far apart.
static GLint wrapping_difference(GLint a, GLint b) {
    return static_cast<GLint>(static_cast<GLuint>(a) - static_cast<GLuint>(b));
}

// A query the driver rejects leaves its destination unwritten, so every destination starts at 0.
static void query_nvidia() {
    GLint total = 0;
    glGetIntegerv(GL_GPU_MEMORY_INFO_TOTAL_AVAILABLE_MEMORY_NVX, &total);
    GLint current = 0;
    glGetIntegerv(GL_GPU_MEMORY_INFO_CURRENT_AVAILABLE_VIDMEM_NVX, &current);

    printf("Total available: %d\n", total);
    printf("In use: %d\n", wrapping_difference(total, current));
    printf("Free: %d\n", current);
}

static void query_ati() {
    struct Pool {
        GLenum pname;
        const char* format;
    };
    static const Pool pools[] = {
        {GL_VBO_FREE_MEMORY_ATI, "VBO free: %d\n"},
        {GL_TEXTURE_FREE_MEMORY_ATI, "Texture free: %d\n"},
        {GL_RENDERBUFFER_FREE_MEMORY_ATI, "Renderbuffer free: %d\n"},
    };

    // Each query writes four figures: total free memory of the pool, largest free block, total
    // free auxiliary memory, largest free auxiliary block. Only the first is reported.
    GLint free_memory[4];
    for (const Pool& pool : pools) {
        std::fill(std::begin(free_memory), std::end(free_memory), 0);
        glGetIntegerv(pool.pname, free_memory);
        printf(pool.format, free_memory[0]);
    }
}

int main(int argc, char** argv) {
    glutInit(&argc, argv);
    glutCreateWindow("Vorn Test");

    puts("\nQuery NVIDIA\n");
    query_nvidia();
    puts("\nQuery ATI\n");
    query_ati();
    return 0;
}
