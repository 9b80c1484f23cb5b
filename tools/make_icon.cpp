// Generates the program's icon, app/quillmorph.svg: the pad in miniature (its four
// corner colours, the grey crosshair and circle), moved up and right as when a voice
// is being changed. SVG, so desktops scale it to any size.
// Deterministic: the same bytes on every run, so the committed file can be checked.
//   quillmorph-make-icon <output.svg>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const int kSize = 64;        // view box, in icon units
const double kCorner = 10;   // rounded corners of the tile
const double kPadScale = kSize / 400.0;

// The pad's corner colours, as the background picture paints them.
const char* const kTopLeft = "#b294a6";      // dark, warm
const char* const kBottomLeft = "#7c9cbc";   // dark, cool
const char* const kTopRight = "#ffeed4";     // bright, warm
const char* const kBottomRight = "#def0fa";  // bright, cool
const char* const kGrey = "#646464";         // the crosshair's colour
const double kCrossX = 290 * kPadScale, kCrossY = 110 * kPadScale;
const double kCircle = 50 * kPadScale * 1.6;  // drawn larger than on the pad: it must read at 16 px

std::string num(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    std::string s = buf;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

std::string svg()
{
    const std::string n = std::to_string(kSize);
    const std::string tile = "x=\"0\" y=\"0\" width=\"" + n + "\" height=\"" + n + "\" rx=\"" + num(kCorner) + "\"";
    std::string s;
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + n + "\" height=\"" + n + "\" viewBox=\"0 0 " + n + " " + n +
         "\">\n";
    s += "  <title>Quillmorph</title>\n";
    s += "  <defs>\n";
    // Left and right edges as vertical gradients, blended across by a horizontal mask:
    // the pad's bilinear mix of its four corners.
    s += "    <linearGradient id=\"left\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"1\">\n";
    s += std::string("      <stop offset=\"0\" stop-color=\"") + kTopLeft + "\"/>\n";
    s += std::string("      <stop offset=\"1\" stop-color=\"") + kBottomLeft + "\"/>\n";
    s += "    </linearGradient>\n";
    s += "    <linearGradient id=\"right\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"1\">\n";
    s += std::string("      <stop offset=\"0\" stop-color=\"") + kTopRight + "\"/>\n";
    s += std::string("      <stop offset=\"1\" stop-color=\"") + kBottomRight + "\"/>\n";
    s += "    </linearGradient>\n";
    s += "    <linearGradient id=\"across\" x1=\"0\" y1=\"0\" x2=\"1\" y2=\"0\">\n";
    s += "      <stop offset=\"0\" stop-color=\"#fff\" stop-opacity=\"0\"/>\n";
    s += "      <stop offset=\"1\" stop-color=\"#fff\" stop-opacity=\"1\"/>\n";
    s += "    </linearGradient>\n";
    s += "    <mask id=\"brighter\"><rect " + tile + " fill=\"url(#across)\"/></mask>\n";
    s += "    <clipPath id=\"tile\"><rect " + tile + "/></clipPath>\n";
    s += "  </defs>\n";
    s += "  <rect " + tile + " fill=\"url(#left)\"/>\n";
    s += "  <rect " + tile + " fill=\"url(#right)\" mask=\"url(#brighter)\"/>\n";
    s += "  <g clip-path=\"url(#tile)\" fill=\"none\" stroke=\"#fff\" stroke-opacity=\"0.5\" stroke-width=\"1\">\n";
    // The unchanged-pitch line and the unchanged-formant line, as on the pad.
    s += "    <line x1=\"0\" y1=\"" + num(kSize / 2.0) + "\" x2=\"" + n + "\" y2=\"" + num(kSize / 2.0) + "\"/>\n";
    s += "    <line x1=\"" + num(kSize / 2.0) + "\" y1=\"0\" x2=\"" + num(kSize / 2.0) + "\" y2=\"" + n +
         "\" stroke-dasharray=\"2 2\"/>\n";
    s += "  </g>\n";
    s += std::string("  <g clip-path=\"url(#tile)\" fill=\"none\" stroke=\"") + kGrey + "\" stroke-width=\"2.5\">\n";
    s += "    <line x1=\"0\" y1=\"" + num(kCrossY) + "\" x2=\"" + n + "\" y2=\"" + num(kCrossY) + "\"/>\n";
    s += "    <line x1=\"" + num(kCrossX) + "\" y1=\"0\" x2=\"" + num(kCrossX) + "\" y2=\"" + n + "\"/>\n";
    s += "    <circle cx=\"" + num(kCrossX) + "\" cy=\"" + num(kCrossY) + "\" r=\"" + num(kCircle) + "\"/>\n";
    s += "  </g>\n";
    s += "</svg>\n";
    return s;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fprintf(argc == 2 ? stdout : stderr, "usage: %s <output.svg>\n", argv[0]);
        return argc == 2 ? 0 : 2;
    }
    const std::string text = svg();
    FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
