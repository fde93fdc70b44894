/* stb's PNG reader and writer compiled into the programs of a portable
   build, which must not need Debian's libstb where they run. */
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
/* The text and resampling of the pictures the tools paint; the GPU kit
   carries only the two above. */
#if __has_include(<stb_truetype.h>)
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb_truetype.h>
#endif
#if __has_include(<stb_image_resize.h>)
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image_resize.h>
#endif
