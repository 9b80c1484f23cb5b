// Arbitrary bytes, as a file, through LoadImageW(..., LR_LOADFROMFILE). A picture that
// loads must be a usable bitmap no larger than its bytes can describe; nothing may
// crash, leak, read out of bounds or allocate far beyond the file (tests/fuzz/run
// caps single allocations, so a header that only claims a huge picture fails it).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32.h"

namespace {

const std::string& tempPath()
{
    static std::string path = [] {
        char name[] = "/tmp/qm_fuzz_bmp_XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        close(fd);
        return std::string(name);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = tempPath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);

    const std::wstring wide(path.begin(), path.end());
    HBITMAP picture = static_cast<HBITMAP>(LoadImageW(nullptr, wide.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
    if (!picture)
        return 0;
    BITMAP bm = {};
    if (GetObjectW(picture, sizeof(BITMAP), &bm) != static_cast<int>(sizeof(BITMAP)) || bm.bmWidth <= 0 ||
        bm.bmHeight <= 0)
        std::abort();
    // Run-length coding packs at most 255 pixels into two bytes; uncompressed data
    // holds at most 8 pixels a byte.
    if (static_cast<uint64_t>(bm.bmWidth) * static_cast<uint64_t>(bm.bmHeight) > 128 * static_cast<uint64_t>(size))
        std::abort();
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, picture);
    if (GetPixel(dc, bm.bmWidth - 1, bm.bmHeight - 1) == CLR_INVALID || GetPixel(dc, 0, 0) == CLR_INVALID)
        std::abort();
    SelectObject(dc, previous);
    DeleteDC(dc);
    if (!DeleteObject(picture))
        std::abort();
    return 0;
}
