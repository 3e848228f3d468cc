// quorvex-svgpng: renders one of the program's SVG pictures into a PNG of a given size.
// Builds whose Qt has no SVG support (the Windows cross build) carry these PNGs instead.
//   quorvex-svgpng IN.svg SIZE OUT.png
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s IN.svg SIZE OUT.png\n", argv[0]);
    return 2;
  }
  bool Ok = false;
  const int Size = QString::fromLocal8Bit(argv[2]).toInt(&Ok);
  if (!Ok || Size < 1 || Size > 1024) {
    std::fprintf(stderr, "%s: size must be 1 to 1024 pixels, not \"%s\"\n", argv[0], argv[2]);
    return 2;
  }
  // A picture that does not parse must stop the build, not become an empty PNG.
  QSvgRenderer Svg(QString::fromLocal8Bit(argv[1]));
  if (!Svg.isValid()) {
    std::fprintf(stderr, "%s: cannot read the SVG picture %s\n", argv[0], argv[1]);
    return 1;
  }
  QImage Img(Size, Size, QImage::Format_ARGB32_Premultiplied);
  Img.fill(Qt::transparent);
  {
    QPainter P(&Img);
    P.setRenderHint(QPainter::Antialiasing);
    Svg.render(&P, QRectF(0, 0, Size, Size));
  }
  if (!Img.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[3]);
    return 1;
  }
  return 0;
}
