/* The lines the image library prints when a call fails, one per failure. */
#ifndef DCTLAB_IMGCODEC_MESSAGES_H
#define DCTLAB_IMGCODEC_MESSAGES_H

namespace dctlab::img
{

constexpr char kNullArgument[] = "ERROR: NULL given instead of argument!";
constexpr char kNoMemory[] = "ERROR: No free memory left!";
constexpr char kCantRead[] = "ERROR: Can't open file for reading!";
constexpr char kNotBmp[] = "ERROR: This is not a BMP file, son!";
constexpr char kCantWrite[] = "ERROR: Can't open file for writing!";
constexpr char kInvalidArgument[] = "ERROR: Invalid argument given!";

} // namespace dctlab::img

#endif
