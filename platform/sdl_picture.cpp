// Win32 pictures, icons and cursors: BMP files through SDL's loader.
// Implemented:
//  [x] LoadImageW(IMAGE_BITMAP, LR_LOADFROMFILE): BMP files (core and info headers, 1 to 32 bits,
//      uncompressed, bit fields, RLE4/RLE8) as 32-bit bitmaps, scaled when a size is asked for
//  [x] The size a file declares is checked against the file's own size before anything is
//      allocated: a tiny file claiming a huge picture gives NULL, as do missing, unreadable,
//      truncated, malformed files and anything that is not a regular file
//  [x] LoadImageW(IMAGE_ICON / IMAGE_CURSOR): the system's standard ones (resources 32512-32650,
//      no module), shared, never released
//  [ ] Resources linked into the program, other image formats, LR_CREATEDIBSECTION sections
#include "platform/sdl_window_state.h"

#include <sys/stat.h>

#include <cstdio>

namespace qm {

namespace {

constexpr uintptr_t kIconHandle = 0x400;
constexpr uintptr_t kCursorHandle = 0x404;
constexpr WORD kStandardResourceFirst = 32512;
constexpr WORD kStandardResourceLast = 32650;

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kCompressionRgb = 0;
constexpr uint32_t kCompressionRle8 = 1;
constexpr uint32_t kCompressionRle4 = 2;
constexpr uint32_t kCompressionBitfields = 3;
// A run packs at most 255 pixels into two bytes; a picture that claims more pixels per
// byte of data than that leans on skips, which no real picture needs.
constexpr int64_t kRleMaxPixelsPerByte = 128;

uint32_t readLE(const unsigned char* p, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Whether the headers at the start of a file of fileSize bytes describe a picture that
// the file's data can fill and that could be held. SDL decodes; this only keeps it
// from allocating for a picture the file does not contain.
bool plausibleBmp(const unsigned char* h, size_t got, int64_t fileSize)
{
    if (got < kFileHeaderSize + kCoreHeaderSize || h[0] != 'B' || h[1] != 'M')
        return false;
    const uint32_t dataOffset = readLE(h + 10, 4);
    const uint32_t infoSize = readLE(h + 14, 4);
    int64_t width = 0, height = 0;
    uint32_t bits = 0, compression = kCompressionRgb;
    if (infoSize == kCoreHeaderSize) {
        width = readLE(h + 18, 2);
        height = readLE(h + 20, 2);
        bits = readLE(h + 24, 2);
    } else {
        if (infoSize < kInfoHeaderSize || got < kFileHeaderSize + kInfoHeaderSize)
            return false;
        width = static_cast<int32_t>(readLE(h + 18, 4));
        height = static_cast<int32_t>(readLE(h + 22, 4));
        bits = readLE(h + 28, 2);
        compression = readLE(h + 30, 4);
    }
    if (height < 0)
        height = -height;  // top-down rows
    if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide ||
        width * height > kMaxBitmapPixels || bits == 0 || bits > 32)
        return false;
    // Pixel data starts at the declared offset, or right after the headers without one.
    int64_t start = dataOffset ? dataOffset : static_cast<int64_t>(kFileHeaderSize) + infoSize;
    if (start > fileSize)
        return false;
    const int64_t data = fileSize - start;
    switch (compression) {
    case kCompressionRgb:
    case kCompressionBitfields: {
        const int64_t stride = (width * bits + 31) / 32 * 4;
        return stride * height <= data;
    }
    case kCompressionRle8:
    case kCompressionRle4:
        return data > 0 && width * height <= data * kRleMaxPixelsPerByte;
    default:
        return false;  // SDL decodes no other compression
    }
}

SDL_Surface* decodeBmp(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return nullptr;
    struct stat st;
    // A FIFO or device would block or never end.
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return nullptr;
    }
    unsigned char h[kFileHeaderSize + kInfoHeaderSize] = {};
    const size_t got = std::fread(h, 1, sizeof h, f);
    SDL_Surface* loaded = nullptr;
    // The same open file is decoded as was checked.
    if (plausibleBmp(h, got, static_cast<int64_t>(st.st_size)) && std::fseek(f, 0, SEEK_SET) == 0) {
        if (SDL_RWops* rw = SDL_RWFromFP(f, SDL_FALSE))
            loaded = SDL_LoadBMP_RW(rw, 1);
    }
    std::fclose(f);
    return loaded;
}

HBITMAP loadBitmapFile(LPCWSTR name, int cx, int cy)
{
    const std::string path = toUtf8(name);
    if (path.empty())
        return nullptr;
    SDL_Surface* loaded = decodeBmp(path);
    if (!loaded)
        return nullptr;
    SDL_Surface* converted = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGB888, 0);
    SDL_FreeSurface(loaded);
    if (!converted)
        return nullptr;
    if ((cx > 0 && cx != converted->w) || (cy > 0 && cy != converted->h)) {
        SDL_Surface* scaled = newSurface(cx > 0 ? cx : converted->w, cy > 0 ? cy : converted->h);
        if (scaled && SDL_BlitScaled(converted, nullptr, scaled, nullptr) != 0) {
            SDL_FreeSurface(scaled);
            scaled = nullptr;
        }
        SDL_FreeSurface(converted);
        converted = scaled;
    }
    return registerBitmap(converted);
}

}  // namespace

}  // namespace qm

using namespace qm;

HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT load)
{
    if (!name || cx < 0 || cy < 0)
        return nullptr;
    if (type == IMAGE_BITMAP) {
        if (!(load & LR_LOADFROMFILE) || IS_INTRESOURCE(name))
            return nullptr;  // no resources are linked into the program here
        return loadBitmapFile(name, cx, cy);
    }
    if (type == IMAGE_ICON || type == IMAGE_CURSOR) {
        const uintptr_t id = reinterpret_cast<uintptr_t>(name);
        if (instance || (load & LR_LOADFROMFILE) || !IS_INTRESOURCE(name) || id < kStandardResourceFirst ||
            id > kStandardResourceLast)
            return nullptr;
        // The system's standard icon and cursor: shared, never released.
        return makeHandle<HANDLE>(type == IMAGE_ICON ? kIconHandle : kCursorHandle);
    }
    return nullptr;
}
