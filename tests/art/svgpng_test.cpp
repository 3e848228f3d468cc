// tools/svgpng against the program's own pictures: each renders at its size and at twice
// that size into a PNG with something drawn in it; unreadable input fails and writes nothing.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

namespace {

int Render(const QString& Svg, const QString& Size, const QString& Png) {
  QProcess P;
  P.start(QUORVEX_SVGPNG, {Svg, Size, Png});
  if (!P.waitForFinished(30000)) return -1;
  return P.exitStatus() == QProcess::NormalExit ? P.exitCode() : -1;
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

} // namespace
