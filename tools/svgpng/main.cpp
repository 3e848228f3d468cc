// quorvex-svgpng: renders one of the program's SVG pictures into a PNG of a given size,
// or into a Windows icon file holding it at several sizes.
// Builds whose Qt has no SVG support (the Windows cross build) carry these PNGs instead;
// the Windows programs' icon resource is the icon file.
//   quorvex-svgpng IN.svg SIZE OUT.png
//   quorvex-svgpng --ico IN.svg OUT.ico SIZE...
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <cstdio>
#include <vector>

namespace {

const char* Prog = "quorvex-svgpng";

bool ParseSize(const char* Text, int& Size) {
  bool Ok = false;
  Size = QString::fromLocal8Bit(Text).toInt(&Ok);
  if (Ok && Size >= 1 && Size <= 1024) return true;
  std::fprintf(stderr, "%s: size must be 1 to 1024 pixels, not \"%s\"\n", Prog, Text);
  return false;
}

QImage Render(QSvgRenderer& Svg, int Size) {
  QImage Img(Size, Size, QImage::Format_ARGB32_Premultiplied);
  Img.fill(Qt::transparent);
  QPainter P(&Img);
  P.setRenderHint(QPainter::Antialiasing);
  Svg.render(&P, QRectF(0, 0, Size, Size));
  return Img;
}

void PutLE(QByteArray& Out, uint32_t Value, int Bytes) {
  for (int i = 0; i < Bytes; ++i)
    Out.append(char((Value >> (8 * i)) & 0xFF));
}

// The icon file: a 6-byte header (reserved 0, type 1 for icons, the number of images),
// one 16-byte entry per image (width and height, 0 meaning 256; colour count 0; reserved
// 0; one plane; 32 bits per pixel; the image's length and its offset from the file's
// start), then the images, each a whole PNG file, which Windows takes since Vista.
QByteArray IconFile(const std::vector<QByteArray>& Pngs, const std::vector<int>& Sizes) {
  QByteArray Out;
  PutLE(Out, 0, 2);
  PutLE(Out, 1, 2);
  PutLE(Out, uint32_t(Pngs.size()), 2);
  uint32_t Offset = uint32_t(6 + 16 * Pngs.size());
  for (size_t i = 0; i < Pngs.size(); ++i) {
    const uint32_t Side = Sizes[i] >= 256 ? 0 : uint32_t(Sizes[i]);
    PutLE(Out, Side, 1);
    PutLE(Out, Side, 1);
    PutLE(Out, 0, 1);
    PutLE(Out, 0, 1);
    PutLE(Out, 1, 2);
    PutLE(Out, 32, 2);
    PutLE(Out, uint32_t(Pngs[i].size()), 4);
    PutLE(Out, Offset, 4);
    Offset += uint32_t(Pngs[i].size());
  }
  for (const QByteArray& P : Pngs)
    Out.append(P);
  return Out;
}

int WriteIcon(QSvgRenderer& Svg, const char* OutName, int argc, char** argv) {
  std::vector<int> Sizes;
  std::vector<QByteArray> Pngs;
  for (int i = 0; i < argc; ++i) {
    int Size = 0;
    if (!ParseSize(argv[i], Size)) return 2;
    // An icon entry holds at most 256 pixels a side.
    if (Size > 256) {
      std::fprintf(stderr, "%s: an icon image is at most 256 pixels, not %d\n", Prog, Size);
      return 2;
    }
    QByteArray Png;
    QBuffer Buf(&Png);
    Buf.open(QIODevice::WriteOnly);
    if (!Render(Svg, Size).save(&Buf, "PNG")) return 1;
    Sizes.push_back(Size);
    Pngs.push_back(Png);
  }
  QFile F(QString::fromLocal8Bit(OutName));
  const QByteArray Data = IconFile(Pngs, Sizes);
  if (!F.open(QIODevice::WriteOnly | QIODevice::Truncate) || F.write(Data) != Data.size()) {
    std::fprintf(stderr, "%s: cannot write %s\n", Prog, OutName);
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  const bool Icon = argc >= 5 && QByteArray(argv[1]) == "--ico";
  if (!Icon && argc != 4) {
    std::fprintf(stderr, "usage: %s IN.svg SIZE OUT.png\n       %s --ico IN.svg OUT.ico SIZE...\n",
                 Prog, Prog);
    return 2;
  }
  const char* In = Icon ? argv[2] : argv[1];
  int Size = 0;
  if (!Icon && !ParseSize(argv[2], Size)) return 2;
  // A picture that does not parse must stop the build, not become an empty PNG.
  QSvgRenderer Svg(QString::fromLocal8Bit(In));
  if (!Svg.isValid()) {
    std::fprintf(stderr, "%s: cannot read the SVG picture %s\n", Prog, In);
    return 1;
  }
  if (Icon) return WriteIcon(Svg, argv[3], argc - 4, argv + 4);
  if (!Render(Svg, Size).save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    std::fprintf(stderr, "%s: cannot write %s\n", Prog, argv[3]);
    return 1;
  }
  return 0;
}
