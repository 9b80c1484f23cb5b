// Generates the pad's default picture, app/back.bmp: 400 x 400, 24-bit BMP.
// Pitch runs up the pad (octave lines marked), formant brightness across it.
// Deterministic: the same bytes on every run, so the committed file can be checked.
//   quillmorph-make-back <output.bmp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int kSize = 400;

struct Rgb {
    double r, g, b;
};

Rgb mix(Rgb a, Rgb b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

double luminance(Rgb c) { return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b; }

// 5 x 7 glyphs, one byte per row, bit 4 = leftmost column.
struct Glyph {
    char c;
    uint8_t rows[7];
};
const Glyph kFont[] = {
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'<', {0x02, 0x04, 0x08, 0x10, 0x08, 0x04, 0x02}},
    {'>', {0x08, 0x04, 0x02, 0x01, 0x02, 0x04, 0x08}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}},
};

const Glyph* findGlyph(char c)
{
    for (const Glyph& g : kFont)
        if (g.c == c)
            return &g;
    return nullptr;
}

class Picture {
public:
    Picture() : px(kSize * kSize) {}

    Rgb& at(int x, int y) { return px[static_cast<size_t>(y) * kSize + x]; }

    void blend(int x, int y, Rgb c, double alpha)
    {
        if (x < 0 || y < 0 || x >= kSize || y >= kSize)
            return;
        at(x, y) = mix(at(x, y), c, alpha);
    }

    // Text in light or dark ink, whichever reads on the local background.
    void text(int x, int y, const std::string& s, double alpha = 0.85)
    {
        const Rgb light{250, 250, 246}, dark{26, 32, 46};
        for (size_t i = 0; i < s.size(); ++i) {
            const Glyph* g = findGlyph(s[i]);
            if (!g)
                continue;
            int gx = x + static_cast<int>(i) * 6;
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->rows[row] & (0x10 >> col)) {
                        int X = gx + col, Y = y + row;
                        if (X < 0 || Y < 0 || X >= kSize || Y >= kSize)
                            continue;
                        Rgb ink = luminance(at(X, Y)) > 140 ? dark : light;
                        blend(X, Y, ink, alpha);
                    }
        }
    }

    int textWidth(const std::string& s) const { return static_cast<int>(s.size()) * 6 - 1; }

    bool writeBmp(const char* path) const
    {
        const int rowBytes = kSize * 3;  // 1200: already a multiple of 4
        const uint32_t imageBytes = static_cast<uint32_t>(rowBytes * kSize);
        const uint32_t offset = 14 + 40;
        std::vector<uint8_t> out;
        auto u16 = [&](uint32_t v) { out.push_back(v & 0xFF); out.push_back((v >> 8) & 0xFF); };
        auto u32 = [&](uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); };
        out.push_back('B');
        out.push_back('M');
        u32(offset + imageBytes);
        u32(0);
        u32(offset);
        u32(40);
        u32(kSize);
        u32(kSize);  // positive height: bottom-up rows
        u16(1);
        u16(24);
        u32(0);  // BI_RGB
        u32(imageBytes);
        u32(2835);  // 72 dpi
        u32(2835);
        u32(0);
        u32(0);
        for (int y = kSize - 1; y >= 0; --y)
            for (int x = 0; x < kSize; ++x) {
                const Rgb& c = px[static_cast<size_t>(y) * kSize + x];
                auto q = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); };
                out.push_back(q(c.b));
                out.push_back(q(c.g));
                out.push_back(q(c.r));
            }
        FILE* f = std::fopen(path, "wb");
        if (!f)
            return false;
        bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
        ok = (std::fclose(f) == 0) && ok;
        return ok;
    }

private:
    std::vector<Rgb> px;
};

void paintBackground(Picture& p)
{
    // Across: formants, from muted dusk tones (darker, down to silence) to pale morning ones
    // (brighter). Down: pitch, warm at the top, cool at the bottom. Everything stays lighter
    // than the grey crosshair so it reads anywhere on the pad.
    const Rgb darkWarm{178, 148, 166}, darkCool{124, 156, 188};
    const Rgb brightWarm{255, 238, 212}, brightCool{222, 240, 250};
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            double tx = (x + 0.5) / kSize, ty = (y + 0.5) / kSize;
            double bright = std::pow(tx, 0.8);
            Rgb warm = mix(darkWarm, brightWarm, bright);
            Rgb cool = mix(darkCool, brightCool, bright);
            p.at(x, y) = mix(warm, cool, ty);
        }
}

void paintMarks(Picture& p)
{
    const Rgb white{255, 255, 255};
    // Octave lines: dotted at +-1 octave, a firmer line where the pitch is unchanged.
    for (int x = 0; x < kSize; ++x) {
        if ((x / 3) % 2 == 0) {
            p.blend(x, 100, white, 0.45);
            p.blend(x, 300, white, 0.45);
        }
        p.blend(x, 200, white, 0.40);
    }
    // Unchanged formants: a dotted vertical in the middle.
    for (int y = 0; y < kSize; ++y)
        if ((y / 3) % 2 == 0)
            p.blend(200, y, white, 0.40);

    // Pitch scale on the left.
    p.text(6, 4, "+2 OCT");
    p.text(6, 90, "+1 OCT");
    p.text(6, 190, "0");
    p.text(6, 290, "-1 OCT");
    p.text(6, 388, "-2 OCT");
    p.text(kSize / 2 - p.textWidth("PITCH UP") / 2, 12, "PITCH UP");
    p.text(kSize / 2 - p.textWidth("PITCH DOWN") / 2, 380, "PITCH DOWN");

    // Formant scale along the bottom edge area.
    p.text(6, 346, "< DARKER");
    p.text(kSize - 6 - p.textWidth("BRIGHTER >"), 346, "BRIGHTER >");
    p.text(6, 356, "SILENCE");
    p.text(kSize - 6 - p.textWidth("FORMANTS X2"), 356, "FORMANTS X2");
    p.text(kSize / 2 + 5, 346, "1X", 0.7);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fprintf(argc == 2 ? stdout : stderr, "usage: %s <output.bmp>\n", argv[0]);
        return argc == 2 ? 0 : 2;
    }
    Picture p;
    paintBackground(p);
    paintMarks(p);
    if (!p.writeBmp(argv[1])) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
