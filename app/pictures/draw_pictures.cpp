// draw_pictures (the draw-pictures target): draws the pictures kept beside
// this file, in app/pictures/.
//   draw-pictures OUTPUT_FOLDER
// Writes CalculatorIconX16.png and CalculatorIconX64.png (palette PNGs, the
// window icon), varFolder_16x16.png and varFolder_32x32.png (RGBA, the Browse
// button) and Updater.ico (256 PNG-compressed, 64 and 16 as 32-bit bitmaps).
// For scaled displays each picture the window shows also comes at twice its
// size, named as Qt looks for it ("@2x" before the suffix):
// CalculatorIconX64@2x.png (128, palette), varFolder_16x16@2x.png (32) and
// varFolder_32x32@2x.png (64). They are drawn at that size from the same
// drawing, never enlarged from the smaller picture.
// Run by hand when a picture is to change (see app/CMakeLists.txt); the build
// neither runs it nor builds it unless asked, and it is no part of the
// programs. No text is drawn, so plain QImage painting needs no application
// object.
#include "common/little_endian.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

namespace {

// The calculator's colours, shared by the hand-drawn 16-pixel picture and the
// scalable drawing so that every size shows the same calculator.
constexpr QRgb kOutline = 0xff121418;
constexpr QRgb kBodyTop = 0xff3f4550;
constexpr QRgb kBodyBottom = 0xff23272d;
constexpr QRgb kBodyLight = 0xff5c6470;
constexpr QRgb kBezel = 0xff16181c;
constexpr QRgb kLcdTop = 0xffbccca6;
constexpr QRgb kLcdBottom = 0xffa5b88f;
constexpr QRgb kLcdShadow = 0xff8d9e7a;
constexpr QRgb kInk = 0xff28341f;
constexpr QRgb kAxis = 0xff7c8e6b;
constexpr QRgb kKeyLight = 0xffd5dae0;
constexpr QRgb kKeyDark = 0xff59616d;
constexpr QRgb kKeyFunction = 0xff7d8692;
constexpr QRgb kKeyOperator = 0xff7489a6;
constexpr QRgb kKeyBlue = 0xff3a84dc;
constexpr QRgb kKeyGreen = 0xff45ad5a;
constexpr QRgb kTransparent = 0x00000000;

// The folder's colours.
constexpr QRgb kFolderOutline = 0xff8a6414;
constexpr QRgb kFolderBack = 0xffd6a334;
constexpr QRgb kFolderBackDark = 0xffc08e26;
constexpr QRgb kFolderEdge = 0xffb5842a;
constexpr QRgb kFolderLight = 0xfffde7a4;
constexpr QRgb kFolderFront = 0xfff4c750;
constexpr QRgb kFolderShade = 0xffe0aa3a;
constexpr QRgb kPaper = 0xfffbfbf7;
constexpr QRgb kPaperEdge = 0xffc9c3b2;
constexpr QRgb kPaperLine = 0xffdedacd;

using Palette = std::map<char, QRgb>;

// Pixel art, one character a pixel; '.' is transparent.
QImage fromPixelArt(const char *const rows[], int size, const Palette &palette)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const auto found = palette.find(rows[y][x]);
            if (found != palette.end())
                image.setPixel(x, y, found->second);
        }
    }
    return image;
}

// At 16 pixels a scaled drawing blurs into a blob, so the small calculator is
// placed pixel by pixel: body, screen with a curve, three columns of keys.
QImage calculator16()
{
    static const char *const rows[16] = {
        "...kkkkkkkkkk...",
        "..khhhhhhhhhhk..",
        "..kbLiiLLLLLbk..",
        "..kbiLLiLLLLbk..",
        "..kbLLLLiLLibk..",
        "..kbllllliilbk..",
        "..kbbbbbbbbbbk..",
        "..kbffbffbffbk..",
        "..kbbbbbbbbbbk..",
        "..kbBBbGGbccbk..",
        "..kbbbbbbbbbbk..",
        "..kbwwbwwbppbk..",
        "..kbbbbbbbbbbk..",
        "..kbwwbwwbBBbk..",
        "..kddddddddddk..",
        "...kkkkkkkkkk...",
    };
    const Palette palette = {
        {'k', kOutline},  {'h', kBodyLight},     {'b', kBodyTop},    {'d', kBodyBottom},
        {'L', kLcdTop},   {'l', kLcdBottom},     {'i', kInk},        {'w', kKeyLight},
        {'B', kKeyBlue},  {'G', kKeyGreen},      {'f', kKeyFunction}, {'p', kKeyOperator},
        {'c', kKeyDark},
    };
    return fromPixelArt(rows, 16, palette);
}

// A shading from `top` at height y0 to `bottom` at y1 (alpha included).
QLinearGradient verticalShade(qreal y0, qreal y1, QRgb top, QRgb bottom)
{
    QLinearGradient shade(0, y0, 0, y1);
    shade.setColorAt(0, QColor::fromRgba(top));
    shade.setColorAt(1, QColor::fromRgba(bottom));
    return shade;
}

void fillPixel(QPainter &p, int x, int y, QRgb colour)
{
    p.fillRect(QRectF(x, y, 1, 1), QColor(colour));
}

// A key: its face over a darker lower edge, so it stands out of the body.
void drawKey(QPainter &p, qreal x, qreal y, qreal w, qreal h, QRgb colour)
{
    const QColor face(colour);
    p.setPen(Qt::NoPen);
    p.setBrush(face.darker(150));
    p.drawRoundedRect(QRectF(x, y, w, h), 1, 1);
    p.setBrush(face);
    p.drawRoundedRect(QRectF(x, y, w, h - 1), 1, 1);
}

// The calculator on a 64-unit grid, scaled to `size` pixels.
QImage calculator(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    // Body: rounded, dark, lit from above.
    const QRectF body(6.5, 1.5, 51, 61);
    p.setPen(QPen(QColor(kOutline), 1));
    p.setBrush(verticalShade(2, 62, kBodyTop, kBodyBottom));
    p.drawRoundedRect(body, 6, 6);
    p.setPen(QPen(QBrush(verticalShade(2, 40, kBodyLight, kTransparent)), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(body.adjusted(1, 1, -1, -1), 5, 5);

    // Screen: a dark bezel around a greenish display showing a curve on axes.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(kBezel));
    p.drawRoundedRect(QRectF(10, 7, 44, 20), 2.5, 2.5);
    const QRect lcd(12, 9, 40, 16);
    p.fillRect(lcd, verticalShade(lcd.top(), lcd.bottom() + 1, kLcdTop, kLcdBottom));
    p.fillRect(QRectF(lcd.left(), lcd.top(), lcd.width(), 1), QColor(kLcdShadow));
    p.fillRect(QRectF(lcd.left(), lcd.top(), 1, lcd.height()), QColor(kLcdShadow));

    // The display is made of square pixels; draw it that way at every size.
    p.setRenderHint(QPainter::Antialiasing, false);
    const int axisY = lcd.top() + 9;
    const int axisX = lcd.left() + 8;
    for (int x = lcd.left() + 2; x < lcd.left() + lcd.width() - 1; ++x)
        fillPixel(p, x, axisY, kAxis);
    for (int y = lcd.top() + 2; y < lcd.top() + lcd.height() - 1; ++y)
        fillPixel(p, axisX, y, kAxis);
    for (int x = axisX - 6; x < lcd.left() + lcd.width() - 1; x += 6)
        fillPixel(p, x, axisY + 1, kAxis);
    const double kPi = 3.14159265358979;
    int previous = 0;
    for (int c = 2; c < lcd.width() - 1; ++c) {
        const int x = lcd.left() + c;
        const int y = axisY - static_cast<int>(std::lround(5.0 * std::sin(2 * kPi * (x - axisX) / 24.0)));
        // Join steep steps so the curve stays one unbroken line.
        if (c > 2) {
            for (int fill = std::min(previous, y) + 1; fill < std::max(previous, y); ++fill)
                fillPixel(p, x, fill, kInk);
        }
        fillPixel(p, x, y, kInk);
        previous = y;
    }
    p.setRenderHint(QPainter::Antialiasing);

    // Keys: a row of function keys, then five columns by four rows.
    for (int col = 0; col < 5; ++col)
        drawKey(p, 11 + 9 * col, 30, 6, 3, kKeyFunction);
    static const QRgb grid[4][5] = {
        {kKeyBlue, kKeyGreen, kKeyDark, kKeyDark, kKeyDark},
        {kKeyDark, kKeyLight, kKeyLight, kKeyLight, kKeyOperator},
        {kKeyDark, kKeyLight, kKeyLight, kKeyLight, kKeyOperator},
        {kKeyDark, kKeyLight, kKeyLight, kKeyLight, kKeyBlue},
    };
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 5; ++col)
            drawKey(p, 11 + 9 * col, 36 + 6 * row, 6, 4, grid[row][col]);
    }
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// A palette of at most 256 entries for `image`: its own colours when they fit,
// otherwise a weighted median cut over alpha, red, green and blue.
QVector<QRgb> paletteFor(const QImage &image)
{
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            ++counts[qAlpha(line[x]) == 0 ? 0u : line[x]];
    }
    using Entry = std::pair<QRgb, int>;
    std::vector<std::vector<Entry>> boxes(1, std::vector<Entry>(counts.begin(), counts.end()));
    auto channel = [](QRgb c, int k) {
        return k == 0 ? qAlpha(c) : k == 1 ? qRed(c) : k == 2 ? qGreen(c) : qBlue(c);
    };
    while (boxes.size() < 256) {
        // Split the box with the widest spread in any channel.
        int best = -1, bestChannel = 0, bestSpread = 0;
        for (int b = 0; b < static_cast<int>(boxes.size()); ++b) {
            for (int k = 0; k < 4; ++k) {
                int lo = 255, hi = 0;
                for (const Entry &e : boxes[b]) {
                    lo = std::min(lo, channel(e.first, k));
                    hi = std::max(hi, channel(e.first, k));
                }
                if (hi - lo > bestSpread) {
                    best = b;
                    bestChannel = k;
                    bestSpread = hi - lo;
                }
            }
        }
        if (best < 0)
            break; // every box holds one colour: the palette is exact
        std::vector<Entry> &box = boxes[best];
        std::sort(box.begin(), box.end(), [&](const Entry &a, const Entry &b) {
            return channel(a.first, bestChannel) < channel(b.first, bestChannel);
        });
        long total = 0, half = 0;
        for (const Entry &e : box)
            total += e.second;
        // Both halves keep at least one colour.
        std::size_t cut = 0;
        while (cut + 2 < box.size() && (half += box[cut].second) * 2 < total)
            ++cut;
        std::vector<Entry> upper(box.begin() + static_cast<long>(cut) + 1, box.end());
        box.resize(cut + 1);
        boxes.push_back(std::move(upper));
    }
    QVector<QRgb> table;
    for (const std::vector<Entry> &box : boxes) {
        double sum[4] = {0, 0, 0, 0};
        long weight = 0;
        for (const Entry &e : box) {
            for (int k = 0; k < 4; ++k)
                sum[k] += static_cast<double>(channel(e.first, k)) * e.second;
            weight += e.second;
        }
        auto mean = [&](int k) { return static_cast<int>(std::lround(sum[k] / static_cast<double>(weight))); };
        table.append(mean(0) == 0 ? 0u : qRgba(mean(1), mean(2), mean(3), mean(0)));
    }
    return table;
}

QImage toPalette(const QImage &argb)
{
    const QImage source = argb.convertToFormat(QImage::Format_ARGB32);
    return source.convertToFormat(QImage::Format_Indexed8, paletteFor(source),
                                  Qt::ThresholdDither | Qt::AvoidDither);
}

// The small folder, pixel by pixel: tab, back panel, a sheet of paper, front.
QImage folder16()
{
    static const char *const rows[16] = {
        "................",
        "................",
        "..kkkk..........",
        ".kDDDDk.........",
        ".kDDDDDkkkkkkk..",
        ".kDDDDDDDDDDDDk.",
        ".kDDPPPPPPPPDDk.",
        ".kDPPPPPPPPPPDk.",
        ".keeeeeeeeeeeek.",
        ".kLLLLLLLLLLLLk.",
        ".kFFFFFFFFFFFFk.",
        ".kFFFFFFFFFFFFk.",
        ".kFFFFFFFFFFFFk.",
        ".kSSSSSSSSSSSSk.",
        "..kkkkkkkkkkkk..",
        "................",
    };
    const Palette palette = {
        {'k', kFolderOutline}, {'D', kFolderBack},  {'P', kPaper},        {'e', kFolderEdge},
        {'L', kFolderLight},   {'F', kFolderFront}, {'S', kFolderShade},
    };
    return fromPixelArt(rows, 16, palette);
}

// The folder on a 32-unit grid, scaled to `size` pixels (32 or 64); strokes
// sit on half units to stay crisp at both.
QImage folderPicture(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    QPainterPath back;
    back.moveTo(2.5, 27.5);
    back.lineTo(2.5, 6.5);
    back.quadTo(2.5, 4.5, 4.5, 4.5);
    back.lineTo(11.5, 4.5);
    back.lineTo(14.5, 7.5);
    back.lineTo(28.5, 7.5);
    back.quadTo(29.5, 7.5, 29.5, 8.5);
    back.lineTo(29.5, 27.5);
    back.closeSubpath();
    p.setPen(QPen(QColor(kFolderOutline), 1));
    p.setBrush(verticalShade(4, 16, kFolderBack, kFolderBackDark));
    p.drawPath(back);

    p.setPen(QPen(QColor(kPaperEdge), 1));
    p.setBrush(QColor(kPaper));
    p.drawRect(QRectF(5.5, 9.5, 21, 8));
    p.setPen(QPen(QColor(kPaperLine), 1));
    p.drawLine(QPointF(8, 12.5), QPointF(24, 12.5));

    const QRectF front(2.5, 13.5, 27, 14);
    p.setPen(QPen(QColor(kFolderOutline), 1));
    p.setBrush(verticalShade(14, 28, kFolderFront, kFolderShade));
    p.drawRoundedRect(front, 1, 1);
    p.setPen(QPen(QColor(kFolderLight), 1));
    p.drawLine(QPointF(3.5, 14.5), QPointF(28.5, 14.5));
    p.setPen(QPen(QColor(kFolderEdge), 1));
    p.drawLine(QPointF(3.5, 26.5), QPointF(28.5, 26.5));
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// Icons store their numbers little-endian.
void putLe16(QByteArray &out, std::uint16_t value)
{
    unsigned char bytes[2];
    le::write16(bytes, value);
    out.append(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

void putLe32(QByteArray &out, std::uint32_t value)
{
    unsigned char bytes[4];
    le::write32(bytes, value);
    out.append(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

// An icon image as a 32-bit bitmap: header with the height doubled (colour
// rows plus mask rows), BGRA rows bottom-up, then the 1-bit AND mask, whose
// set bits mark transparent pixels for readers that ignore alpha.
QByteArray iconBitmap(const QImage &picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();
    const int maskStride = (w + 31) / 32 * 4;
    QByteArray out;
    putLe32(out, 40);
    putLe32(out, static_cast<std::uint32_t>(w));
    putLe32(out, static_cast<std::uint32_t>(2 * h));
    putLe16(out, 1);  // planes
    putLe16(out, 32); // bits per pixel
    putLe32(out, 0);  // uncompressed
    putLe32(out, static_cast<std::uint32_t>(w * h * 4 + maskStride * h));
    for (int i = 0; i < 4; ++i)
        putLe32(out, 0); // resolution and colour counts: unused
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(static_cast<char>(qBlue(line[x])));
            out.append(static_cast<char>(qGreen(line[x])));
            out.append(static_cast<char>(qRed(line[x])));
            out.append(static_cast<char>(qAlpha(line[x])));
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(line[x]) == 0)
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
        }
        out.append(row);
    }
    return out;
}

struct IconImage {
    int size;
    QByteArray data;
};

QByteArray iconFile(const std::vector<IconImage> &images)
{
    QByteArray out;
    putLe16(out, 0); // reserved
    putLe16(out, 1); // icon
    putLe16(out, static_cast<std::uint16_t>(images.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
    for (const IconImage &image : images) {
        out.append(static_cast<char>(image.size >= 256 ? 0 : image.size)); // 0 means 256
        out.append(static_cast<char>(image.size >= 256 ? 0 : image.size));
        out.append('\0'); // no colour table
        out.append('\0');
        putLe16(out, 1);  // planes
        putLe16(out, 32); // bits per pixel
        putLe32(out, static_cast<std::uint32_t>(image.data.size()));
        putLe32(out, offset);
        offset += static_cast<std::uint32_t>(image.data.size());
    }
    for (const IconImage &image : images)
        out.append(image.data);
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()
           && file.flush();
}

bool savePng(const QImage &image, const QString &path)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    return image.save(&buffer, "PNG") && writeFile(path, bytes);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_pictures OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "draw_pictures: cannot create %s\n", argv[1]);
        return 1;
    }

    const QImage small = calculator16();
    const QImage medium = calculator(64);
    const QImage large = calculator(256);
    QByteArray largePng;
    QBuffer largeBuffer(&largePng);
    largeBuffer.open(QIODevice::WriteOnly);
    const bool largeOk = large.save(&largeBuffer, "PNG");

    struct Output {
        const char *name;
        bool ok;
    };
    const Output outputs[] = {
        {"CalculatorIconX16.png", savePng(toPalette(small), folder.filePath("CalculatorIconX16.png"))},
        {"CalculatorIconX64.png", savePng(toPalette(medium), folder.filePath("CalculatorIconX64.png"))},
        {"CalculatorIconX64@2x.png", savePng(toPalette(calculator(128)), folder.filePath("CalculatorIconX64@2x.png"))},
        {"varFolder_16x16.png", savePng(folder16(), folder.filePath("varFolder_16x16.png"))},
        {"varFolder_16x16@2x.png", savePng(folderPicture(32), folder.filePath("varFolder_16x16@2x.png"))},
        {"varFolder_32x32.png", savePng(folderPicture(32), folder.filePath("varFolder_32x32.png"))},
        {"varFolder_32x32@2x.png", savePng(folderPicture(64), folder.filePath("varFolder_32x32@2x.png"))},
        {"Updater.ico",
         largeOk && writeFile(folder.filePath("Updater.ico"),
                              iconFile({{256, largePng}, {64, iconBitmap(medium)}, {16, iconBitmap(small)}}))},
    };
    int status = 0;
    for (const Output &output : outputs) {
        if (!output.ok) {
            std::fprintf(stderr, "draw_pictures: cannot write %s\n", output.name);
            status = 1;
        }
    }
    return status;
}
