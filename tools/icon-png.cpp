// Build step: turns the panel's icon, drawn as an XPM, into the PNG that desktops look for.
#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fputs("usage: icon-png ICON.xpm ICON.png\n", stderr);
        return 2;
    }
    const QImage icon(QString::fromLocal8Bit(argv[1]));
    if (icon.isNull()) {
        std::fprintf(stderr, "icon-png: cannot read %s\n", argv[1]);
        return 1;
    }
    // Indexed keeps the icon's own few colours as the PNG's palette.
    if (!icon.convertToFormat(QImage::Format_Indexed8)
             .save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "icon-png: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
