/* stb's PNG reader and writer compiled into the programs of a portable
   build, which must not need Debian's libstb where they run. */
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
