// tools/svgpng against the program's own pictures: each renders at its size and at twice
// that size into a PNG with something drawn in it; unreadable input fails and writes nothing.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>

namespace {

int RunSvgPng(const QStringList& Args) {
  QProcess P;
  P.start(QUORVEX_SVGPNG, Args);
  if (!P.waitForFinished(30000)) return -1;
  return P.exitStatus() == QProcess::NormalExit ? P.exitCode() : -1;
}

int Render(const QString& Svg, const QString& Size, const QString& Png) {
  return RunSvgPng({Svg, Size, Png});
}

// Pixels with any coverage at all.
int DrawnPixels(const QImage& Img) {
  int n = 0;
  for (int y = 0; y < Img.height(); ++y)
    for (int x = 0; x < Img.width(); ++x)
      n += qAlpha(Img.pixel(x, y)) > 0;
  return n;
}

TEST(SvgPng, RendersEveryPictureAtItsSizes) {
  QTemporaryDir Out;
  int Pictures = 0;
  QDirIterator It(QUORVEX_RESOURCES, {"*.svg"}, QDir::Files, QDirIterator::Subdirectories);
  while (It.hasNext()) {
    const QString Svg = It.next();
    ++Pictures;
    for (int Size : {16, 32, 64}) {
      SCOPED_TRACE(Svg.toStdString() + " at " + std::to_string(Size));
      const QString Png = Out.filePath(QString("%1-%2.png").arg(Pictures).arg(Size));
      ASSERT_EQ(Render(Svg, QString::number(Size), Png), 0);
      const QImage Img(Png);
      ASSERT_FALSE(Img.isNull());
      EXPECT_EQ(Img.size(), QSize(Size, Size));
      // A picture that rendered to nothing would leave its button bare.
      EXPECT_GT(DrawnPixels(Img), Size * Size / 16);
    }
  }
  EXPECT_GE(Pictures, 11) << "the pictures of the window and the message box";
}

TEST(SvgPng, BadInputFailsAndWritesNothing) {
  QTemporaryDir Out;
  const QString NotSvg = Out.filePath("not.svg");
  QFile F(NotSvg);
  ASSERT_TRUE(F.open(QIODevice::WriteOnly));
  F.write("this is no picture");
  F.close();
  const QString Good = QString(QUORVEX_RESOURCES) + "/app/eraser.svg";
  struct Case {
    QString Svg, Size;
    int Exit;
  };
  const Case Cases[] = {
      {NotSvg, "16", 1}, {Out.filePath("missing.svg"), "16", 1},
      {Good, "0", 2},    {Good, "sixteen", 2},
      {Good, "5000", 2},
  };
  for (const Case& c : Cases) {
    const QString Png = Out.filePath("out.png");
    EXPECT_EQ(Render(c.Svg, c.Size, Png), c.Exit)
        << c.Svg.toStdString() << " " << c.Size.toStdString();
    EXPECT_FALSE(QFile::exists(Png));
  }
  EXPECT_EQ(Render(Good, "16", Out.filePath("sub/none/out.png")), 1) << "an unwritable target";
}

// The Windows programs' icon: read back by Qt's own icon-file reader, each image is the
// picture at its size, exactly as the PNG rendering of that size; the header's entries
// say the sizes (0 for 256) and point at the images.
TEST(SvgPng, IconFileHoldsEachSize) {
  QTemporaryDir Out;
  const QString Svg = QString(QUORVEX_RESOURCES) + "/app/quorvex.svg";
  const QString Ico = Out.filePath("quorvex.ico");
  const QList<int> Sizes = {16, 32, 48, 256};
  ASSERT_EQ(RunSvgPng({"--ico", Svg, Ico, "16", "32", "48", "256"}), 0);
  QFile F(Ico);
  ASSERT_TRUE(F.open(QIODevice::ReadOnly));
  const QByteArray Data = F.readAll();
  auto U16 = [&](int At) { return uint8_t(Data[At]) | uint8_t(Data[At + 1]) << 8; };
  auto U32 = [&](int At) { return uint32_t(U16(At)) | uint32_t(U16(At + 2)) << 16; };
  ASSERT_GE(Data.size(), 6 + 16 * Sizes.size());
  EXPECT_EQ(U16(0), 0);
  EXPECT_EQ(U16(2), 1);
  ASSERT_EQ(U16(4), Sizes.size());
  uint32_t End = 6 + 16 * Sizes.size();
  for (int i = 0; i < Sizes.size(); ++i) {
    const int E = 6 + 16 * i;
    SCOPED_TRACE(Sizes[i]);
    EXPECT_EQ(uint8_t(Data[E]), Sizes[i] % 256);
    EXPECT_EQ(uint8_t(Data[E + 1]), Sizes[i] % 256);
    EXPECT_EQ(U16(E + 6), 32);
    EXPECT_EQ(U32(E + 12), End) << "images follow each other";
    End += U32(E + 8);
    const QImage Entry = QImage::fromData(Data.mid(int(U32(E + 12)), int(U32(E + 8))), "PNG");
    const QString Png = Out.filePath(QString("ref-%1.png").arg(Sizes[i]));
    ASSERT_EQ(Render(Svg, QString::number(Sizes[i]), Png), 0);
    EXPECT_EQ(Entry.convertToFormat(QImage::Format_ARGB32),
              QImage(Png).convertToFormat(QImage::Format_ARGB32));
  }
  EXPECT_EQ(End, uint32_t(Data.size()));
  QImageReader Reader(Ico, "ico");
  ASSERT_EQ(Reader.imageCount(), Sizes.size()) << Reader.errorString().toStdString();
  QList<int> Read;
  for (int i = 0; i < Reader.imageCount(); ++i) {
    ASSERT_TRUE(Reader.jumpToImage(i));
    const QImage Img = Reader.read();
    ASSERT_FALSE(Img.isNull()) << Reader.errorString().toStdString();
    EXPECT_EQ(Img.width(), Img.height());
    EXPECT_GT(DrawnPixels(Img), Img.width() * Img.width() / 4);
    Read << Img.width();
  }
  EXPECT_EQ(Read, Sizes);
}

TEST(SvgPng, IconFileRefusesBadSizes) {
  QTemporaryDir Out;
  const QString Svg = QString(QUORVEX_RESOURCES) + "/app/quorvex.svg";
  for (const char* Size : {"0", "512", "big"}) {
    const QString Ico = Out.filePath("bad.ico");
    EXPECT_EQ(RunSvgPng({"--ico", Svg, Ico, "16", Size}), 2) << Size;
    EXPECT_FALSE(QFile::exists(Ico));
  }
}

} // namespace
