/* Preloaded into the viewer to make the GL function loader find nothing,
   the one way to reach the loader failure on a working display. */
#include <stddef.h>

typedef void (*GLproc)(void);

GLproc glfwGetProcAddress(const char* name) {
    (void)name;
    return NULL;
}
