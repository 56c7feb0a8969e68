// ico-images: writes the images of an icon file that have the asked sizes as
// PNG files, for the desktop's icon theme (hicolor/<N>x<N>/apps/<name>.png).
// Run at build time on Updater.ico.
//
//   ico-images ICON OUTDIR NAME SIZE...
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageReader>

#include <cstdio>
#include <map>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // the ICO reader is a plugin
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: ico-images ICON OUTDIR NAME SIZE...\n");
        return 2;
    }
    QImageReader reader(args[1], "ico");
    std::map<int, QImage> images; // by width, the square ones
    for (int i = 0; i < reader.imageCount(); ++i) {
        if (!reader.jumpToImage(i))
            break;
        const QImage image = reader.read();
        if (!image.isNull() && image.width() == image.height())
            images[image.width()] = image;
    }
    for (int i = 4; i < args.size(); ++i) {
        const int size = args[i].toInt();
        const auto found = images.find(size);
        if (found == images.end()) {
            std::fprintf(stderr, "ico-images: %s has no %dx%d image\n", qPrintable(args[1]), size, size);
            return 1;
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(args[2]).arg(size);
        if (!QDir().mkpath(dir) || !found->second.save(dir + '/' + args[3] + ".png", "PNG")) {
            std::fprintf(stderr, "ico-images: cannot write into %s\n", qPrintable(dir));
            return 1;
        }
    }
    return 0;
}
