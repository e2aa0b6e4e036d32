// Build-time tool: renders the SVG sources of the button bitmaps, the icon
// and the cursor to PNG and writes them, as byte arrays, into a C++ source
// that both language libraries compile (the tables of resources/images.h).
//
//   lumaset_render_images OUT.cpp PNG_DIR SOURCE_DIR ITEM...
//
// ITEM is one of
//   bitmap:ID:a.svg[+b.svg...]   a strip of two 24 x 24 images, 48 x 24: the
//                                layers drawn in order over white (the program
//                                combines the image with the background by AND,
//                                so white lets the background through), then a
//                                grey, lighter twin of it for the disabled look
//   icon:ID:SIZE:a.svg           a SIZE x SIZE image with transparency
//   cursor:ID:SIZE:X,Y:a.svg     likewise, with its hot spot at (X, Y)
//   png:NAME:SIZE:a.svg          a SIZE x SIZE image with transparency that is
//                                only written to PNG_DIR as NAME.png (the
//                                desktop icons), not into the source
// Bitmaps, icons and cursors are rendered twice, at their size and at twice
// it (hot spot included), into the tables of both sizes; the program takes
// the larger on screens of device pixel ratio 2. Every PNG is also written to
// PNG_DIR (the larger as NAME@2x.png), so the images can be looked at.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kImageSize = 24;

struct Output {
  QString kind;  // "bitmap", "icon", "cursor", "png"
  unsigned id = 0;
  int scale = 1;
  QByteArray png;
  int hotX = 0, hotY = 0;
};

[[noreturn]] void Fail(const QString& message) {
  std::fprintf(stderr, "lumaset_render_images: %s\n", qPrintable(message));
  std::exit(1);
}

// Draws the SVG layers over `image` (already filled) in its whole area.
void RenderLayers(QImage* image, const QDir& sources, const QString& layers) {
  QPainter painter(image);
  painter.setRenderHint(QPainter::Antialiasing);
  for (const QString& name : layers.split(QLatin1Char('+'))) {
    QSvgRenderer svg(sources.filePath(name));
    if (!svg.isValid()) Fail(QStringLiteral("cannot read %1").arg(sources.filePath(name)));
    svg.render(&painter, QRectF(0, 0, image->width(), image->height()));
  }
}

// The disabled twin: grey (the pixel's luminance) and lighter, so it reads as
// switched off yet keeps the shape.
QImage DisabledLook(const QImage& normal) {
  QImage grey = normal.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < grey.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(grey.scanLine(y));
    for (int x = 0; x < grey.width(); ++x) {
      int v = 255 - (255 - qGray(line[x])) * 55 / 100;
      line[x] = qRgb(v, v, v);
    }
  }
  return grey;
}

QByteArray Png(const QImage& image) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) Fail(QStringLiteral("cannot encode a PNG"));
  return bytes;
}

QImage Strip(const QDir& sources, const QString& layers, int scale) {
  const int size = kImageSize * scale;
  QImage normal(size, size, QImage::Format_RGB32);
  normal.fill(Qt::white);
  RenderLayers(&normal, sources, layers);
  QImage strip(2 * size, size, QImage::Format_RGB32);
  {
    QPainter painter(&strip);
    painter.drawImage(0, 0, normal);
    painter.drawImage(size, 0, DisabledLook(normal));
  }
  return strip;
}

QImage Transparent(const QDir& sources, int size, const QString& layers) {
  if (size <= 0 || size > 512) Fail(QStringLiteral("bad size %1").arg(size));
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  RenderLayers(&image, sources, layers);
  return image.convertToFormat(QImage::Format_ARGB32);
}

unsigned Number(const QString& text) {
  bool ok = false;
  unsigned n = text.toUInt(&ok);
  if (!ok) Fail(QStringLiteral("not a number: %1").arg(text));
  return n;
}

Output Render(const QDir& sources, const QDir& pngDir, const QString& item, int scale) {
  QStringList f = item.split(QLatin1Char(':'));
  Output out;
  out.kind = f.value(0);
  out.scale = scale;
  QImage image;
  if (out.kind == QLatin1String("png") && f.size() == 4) {
    // A file name without folders, so it stays inside PNG_DIR.
    if (f[1].isEmpty() || f[1].contains(QLatin1Char('/')) || f[1].startsWith(QLatin1Char('.')))
      Fail(QStringLiteral("bad file name in %1").arg(item));
    out.png = Png(Transparent(sources, int(Number(f[2])), f[3]));
    QFile file(pngDir.filePath(f[1] + QStringLiteral(".png")));
    if (!file.open(QIODevice::WriteOnly) || file.write(out.png) != out.png.size())
      Fail(QStringLiteral("cannot write %1").arg(file.fileName()));
    return out;
  }
  if (out.kind == QLatin1String("bitmap") && f.size() == 3) {
    image = Strip(sources, f[2], scale);
  } else if (out.kind == QLatin1String("icon") && f.size() == 4) {
    image = Transparent(sources, int(Number(f[2])) * scale, f[3]);
  } else if (out.kind == QLatin1String("cursor") && f.size() == 5) {
    int size = int(Number(f[2]));
    QStringList hot = f[3].split(QLatin1Char(','));
    if (hot.size() != 2) Fail(QStringLiteral("bad hot spot in %1").arg(item));
    out.hotX = int(Number(hot[0]));
    out.hotY = int(Number(hot[1]));
    if (out.hotX >= size || out.hotY >= size) Fail(QStringLiteral("hot spot outside the cursor: %1").arg(item));
    out.hotX *= scale;
    out.hotY *= scale;
    image = Transparent(sources, size * scale, f[4]);
  } else {
    Fail(QStringLiteral("bad item %1").arg(item));
  }
  out.id = Number(f[1]);
  out.png = Png(image);
  QFile file(pngDir.filePath(QStringLiteral("%1_%2%3.png").arg(out.kind).arg(out.id).arg(scale == 2 ? "@2x" : "")));
  if (!file.open(QIODevice::WriteOnly) || file.write(out.png) != out.png.size())
    Fail(QStringLiteral("cannot write %1").arg(file.fileName()));
  return out;
}

QByteArray Bytes(const QByteArray& png) {
  QByteArray text;
  for (int i = 0; i < png.size(); ++i) {
    text += (i % 16 == 0) ? "\n    " : " ";
    text += "0x" + QByteArray::number(static_cast<unsigned char>(png[i]), 16).rightJustified(2, '0') + ",";
  }
  return text;
}

QByteArray Source(const QList<Output>& outputs) {
  QByteArray text =
      "// Generated at build time by lumaset_render_images from resources/images/*.svg.\n"
      "#include \"resources/images.h\"\n\nnamespace lumaset_images {\nnamespace {\n";
  for (int i = 0; i < outputs.size(); ++i)
    text += "const unsigned char kPng" + QByteArray::number(i) + "[] = {" + Bytes(outputs[i].png) + "\n};\n";
  text += "}  // namespace\n";
  struct Group {
    const char* kind;
    int scale;
    const char* type;
    const char* array;
    const char* count;
  };
  for (const Group& g : {Group{"bitmap", 1, "LumasetBlob", "kBitmaps", "kBitmapCount"},
                         Group{"icon", 1, "LumasetBlob", "kIcons", "kIconCount"},
                         Group{"cursor", 1, "LumasetCursor", "kCursors", "kCursorCount"},
                         Group{"bitmap", 2, "LumasetBlob", "kBitmaps2x", "kBitmapCount"},
                         Group{"icon", 2, "LumasetBlob", "kIcons2x", "kIconCount"},
                         Group{"cursor", 2, "LumasetCursor", "kCursors2x", "kCursorCount"}}) {
    int n = 0;
    QByteArray entries;
    for (int i = 0; i < outputs.size(); ++i) {
      if (outputs[i].kind != QLatin1String(g.kind) || outputs[i].scale != g.scale) continue;
      ++n;
      entries += "    {" + QByteArray::number(outputs[i].id) + ", kPng" + QByteArray::number(i) + ", sizeof kPng" +
                 QByteArray::number(i);
      if (outputs[i].kind == QLatin1String("cursor"))
        entries += ", " + QByteArray::number(outputs[i].hotX) + ", " + QByteArray::number(outputs[i].hotY);
      entries += "},\n";
    }
    text += QByteArray("static_assert(") + g.count + " == " + QByteArray::number(n) + ", \"images.h counts " +
            g.kind + "s differently\");\n";
    text += QByteArray("const ") + g.type + " " + g.array + "[" + g.count + "] = {\n" + entries + "};\n";
  }
  text += "}  // namespace lumaset_images\n";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QStringList args = app.arguments();
  if (args.size() < 5) Fail(QStringLiteral("usage: OUT.cpp PNG_DIR SOURCE_DIR ITEM..."));
  QDir pngDir(args[2]);
  if (!pngDir.mkpath(QStringLiteral("."))) Fail(QStringLiteral("cannot create %1").arg(args[2]));
  QDir sources(args[3]);
  QList<Output> outputs;
  for (int i = 4; i < args.size(); ++i) {
    Output out = Render(sources, pngDir, args[i], 1);
    if (out.kind == QLatin1String("png")) continue;
    outputs.append(out);
    outputs.append(Render(sources, pngDir, args[i], 2));
  }

  // Write beside the target and rename, so an interrupted run leaves no half file.
  QFile out(args[1] + QStringLiteral(".tmp"));
  QByteArray text = Source(outputs);
  if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.flush())
    Fail(QStringLiteral("cannot write %1").arg(out.fileName()));
  out.close();
  QFile::remove(args[1]);
  if (!QFile::rename(out.fileName(), args[1])) Fail(QStringLiteral("cannot write %1").arg(args[1]));
  return 0;
}
