#pragma once
// The program's pictures are SVG files in the resources. A build whose Qt has no SVG
// support (the Windows cross build) carries PNGs rendered from them at build time instead,
// under the same names with ".png" for ".svg" (plus "@2x.png", which QIcon picks on
// high-density screens); see cmake/QuorvexArt.cmake.
#include <QString>

inline QString ArtFile(const char* SvgResource) {
  QString Name = QString::fromLatin1(SvgResource);
#ifdef QUORVEX_PNG_ART
  if (Name.endsWith(QLatin1String(".svg"))) Name = Name.chopped(4) + QLatin1String(".png");
#endif
  return Name;
}
